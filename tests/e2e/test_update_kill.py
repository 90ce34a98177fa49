"""A kill at every moment of an update. The test build of the installer (CV_setup_killpoints.exe, the
same program with its kill points live) ends itself, with no cleanup, right after the n-th
file-system step of an update. First n counts every step, through the download's blocks (their
number varies with what each read brings); then n counts every step but those blocks, until a run
gets through, so every step is killed once. After each kill, what stands under the installer's name
is the installer as it was or the delivered build, byte for byte, and its next plain start leaves
the delivered build in place, no private copy beside it and none in the temporary folder; or,
between the two renames of the switch, the name is empty, the installer lies complete under its
backup name and the complete download beside it, and the recovery the README gives (the backup
renamed back, then a plain start) ends the same way. Once with the installer on the temporary
folder's volume, once on another."""

import hashlib
import os
import re
import shutil
import signal
import subprocess
import tempfile

import cvtest
from cvtest import SAMPLE, digest, stamp

KILLED = 77  # Killpoint::KILLED_EXIT_CODE
OLDER_BACKUP = b"the backup of an earlier update"
# The steps of an update on one volume after its writes, in order: the download's flush, the rename
# beside the installer, the attributes, the access list, the older backup's removal, the installer
# to its backup name, the download to the installer's name. Before them: its creation, one step per
# block written (as many as the reads bring, which differs from run to run).
STEPS_ON_ONE_VOLUME = ["flush", "rename", "attributes", "access list", "remove backup", "backup", "rename"]
# From another volume the download is copied beside the installer (one block), flushed, and deleted.
STEPS_FROM_ANOTHER_VOLUME = ["flush", "create", "write through", "flush", "delete", "attributes", "access list",
                             "remove backup", "backup", "rename"]


def padded(path, size):
    with open(path, "rb") as f:
        data = f.read()
    return data + b"\0" * max(0, size - len(data))


def temp_copies():
    """The download files in the prefix's temporary folder."""
    temp = os.path.join(cvtest.PREFIX, "drive_c", "users", cvtest.USER, "Temp")
    return {os.path.join(temp, n) for n in os.listdir(temp) if re.fullmatch(r"CV_setup\.exe\.[0-9a-f]{16}\.tmp", n)}


class KillAtEveryStep(cvtest.LoopbackUpdateCase):
    scratch_name = "kill"

    def setUp(self):
        super().setUp()
        self.installer = self.scratch.file("installer.stamped")
        values = [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.server.http_port),
                          "--product": "Callvane"}.get(o, v)) for o, w, v in SAMPLE]
        r = stamp(cvtest.built("CV_setup_killpoints.exe"), self.installer, values)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.stamped = digest(self.installer)
        # Just above the refused size band: few write blocks, few steps.
        self.client = padded(cvtest.fixture("democlient.exe"), 130000)
        self.delivered = hashlib.sha256(self.client).hexdigest()
        body = self.scratch.file("delivered.bin")
        with open(body, "wb") as f:
            f.write(self.client)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body)
        self.report = self.scratch.file("killed-after.txt")
        self.temp_before = temp_copies()
        self.folder = None

    def tearDown(self):
        for path in temp_copies() - self.temp_before:
            os.remove(path)  # what the kills left in the temporary folder
        if self.folder:
            cvtest.wait_until(lambda: not os.path.exists(self.exe + ".started.txt") or self.client_done(), 15)
            shutil.rmtree(self.folder, ignore_errors=True)
        super().tearDown()

    def place(self, unix_folder, windows_folder):
        self.folder = unix_folder
        self.exe = os.path.join(unix_folder, "CV_setup.exe")
        self.windows_exe = windows_folder + "\\CV_setup.exe"
        self.backup = self.exe + ".backupFromWebupdate"

    def fresh_installer(self):
        """The installer as it was before an update, with the backup of an earlier one beside it."""
        for name in os.listdir(self.folder):
            if name.startswith("CV_setup.exe"):
                os.remove(os.path.join(self.folder, name))
        if os.path.exists(self.report):
            os.remove(self.report)
        shutil.copyfile(self.installer, self.exe)
        with open(self.backup, "wb") as f:
            f.write(OLDER_BACKUP)
        cvtest.clear_logs()

    def staged(self):
        """The private copies beside the installer."""
        return [os.path.join(self.folder, n) for n in os.listdir(self.folder)
                if re.fullmatch(r"CV_setup\.exe\.[0-9a-f]{16}\.tmp", n)]

    def start(self, env=None):
        """A start of what stands under the installer's name; its exit code (the restarted client
        keeps no pipe of ours, so its seconds are not waited for)."""
        e = dict(os.environ, WINEPREFIX=cvtest.PREFIX, **(env or {}))
        proc = subprocess.Popen([cvtest.WINE_RUN, self.windows_exe], cwd=self.folder, env=e, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        try:
            return proc.wait(120)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            raise

    def plain_start(self, what):
        """A start without the kill point: the update goes through and nothing is left beside."""
        code = self.start()
        log = cvtest.read_log()
        self.assertEqual(code, 0, "%s\n%s" % (what, log))
        self.assertEqual(digest(self.exe), self.delivered, "%s: the delivered build in place" % what)
        self.assertEqual(digest(self.backup), self.stamped, "%s: the installer as backup" % what)
        self.assertEqual(self.staged(), [], "%s: no private copy left beside the installer" % what)
        self.assertEqual(temp_copies() - self.temp_before, set(), "%s: no download left in the temporary folder" % what)
        return log

    def killed_at(self, n, skip=""):
        """Kills after the n-th step (steps named `skip` not counted); the names of the steps done
        (every one), or None when the update went through."""
        self.fresh_installer()
        code = self.start({"CV_TEST_KILL_AFTER_STEP": str(n), "CV_TEST_KILL_SKIP": skip,
                           "CV_TEST_KILL_REPORT": cvtest.to_windows(self.report)})
        if code != KILLED:
            # More steps than the update has: it went through untouched by the seam.
            self.assertEqual(code, 0, cvtest.read_log())
            self.assertFalse(os.path.exists(self.report))
            self.assertEqual(digest(self.exe), self.delivered)
            return None
        with open(self.report, encoding="ascii") as f:
            return f.read().split(",")

    def check_after_kill(self, done):
        """What a kill after the steps `done` left, and the next plain start (or the recovery)."""
        what = "killed after step %d (%s)" % (len(done), done[-1])
        if not os.path.exists(self.exe):
            # Between the two renames: the installer complete under its backup name, the complete
            # download beside it. The documented recovery: the backup renamed back, then a start.
            self.assertEqual(digest(self.backup), self.stamped, what)
            self.assertEqual([digest(p) for p in self.staged()], [self.delivered], what)
            os.rename(self.backup, self.exe)
            log = self.plain_start(what + ", then recovered")
            self.assertIn("Removed the copy of an interrupted update: ", log)
            return "empty"
        if digest(self.exe) == self.stamped:
            if done[-1] == "write" and len(done) > 2:
                # The same state as after the first block (the download lies in the temporary folder).
                self.assertEqual(self.staged(), [], what)
            else:
                self.plain_start(what)
            return "installer"
        self.assertEqual(digest(self.exe), self.delivered, what)
        self.assertEqual(digest(self.backup), self.stamped, what)
        return "delivered"

    def kill_after_every_step(self, after_writes):
        # The download's blocks (their number varies with what each read brings): every step counted.
        for n in range(1, 200):
            done = self.killed_at(n)
            self.assertIsNotNone(done)
            if done != ["create"] + ["write"] * (n - 1):
                break  # past the blocks of this run
            self.assertEqual(self.check_after_kill(done), "installer")
        self.assertGreater(n, 2, "at least one of the download's blocks was killed")
        states = []
        # Every other step, the blocks not counted: the same numbering in every run.
        for n in range(1, len(after_writes) + 3):
            done = self.killed_at(n, skip="write")
            if done is None:
                break
            kept = [s for s in done if s != "write"]
            self.assertEqual(kept, (["create"] + after_writes)[:n], done)
            states.append(self.check_after_kill(done))
        self.assertIsNone(done, "the update went through after the last step")
        self.assertEqual(len(states), len(after_writes) + 1)
        # The name is empty only after the installer went to its backup name.
        self.assertEqual(states[-2:], ["empty", "delivered"], states)
        self.assertEqual(set(states[:-2]), {"installer"}, states)

    def test_installer_on_the_temporary_folders_volume(self):
        unix = tempfile.mkdtemp(prefix="kill-", dir=os.path.join(cvtest.PREFIX, "drive_c"))
        self.place(unix, "C:\\" + os.path.basename(unix))
        self.kill_after_every_step(STEPS_ON_ONE_VOLUME)

    def test_installer_on_another_volume(self):
        # The scratch folder lies on drive Z:, the temporary folder on C:.
        self.place(self.scratch.path, cvtest.to_windows(self.scratch.path))
        self.kill_after_every_step(STEPS_FROM_ANOTHER_VOLUME)


if __name__ == "__main__":
    cvtest.main()
