"""The switch when the temporary folder and the installer lie on different volumes: the installer
runs from a small tmpfs of its own, mapped to a free drive letter of the test prefix, while the
temporary folder stays on C:. The download is first copied beside the installer and then renamed
into place; a copy that does not fit leaves the installer as it was and no partial file behind.
Needs root (to mount); without it the test says so and is skipped."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import cvtest
from cvtest import SAMPLE, digest, stamp
from updateserver import UpdateServer

MIB = 1048576


def padded(path, size):
    with open(path, "rb") as f:
        data = f.read()
    return data + b"\0" * max(0, size - len(data))


class Volume:
    """A tmpfs of the given size mounted under the build folder and mapped to a free drive letter."""

    def __init__(self, size):
        base = os.path.join(cvtest.BUILD_DIR, "e2e-scratch")
        os.makedirs(base, exist_ok=True)
        self.path = tempfile.mkdtemp(prefix="volume-", dir=base)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % size, "tmpfs", self.path], check=True,
                       capture_output=True, timeout=30)
        dosdevices = os.path.join(cvtest.PREFIX, "dosdevices")
        self.letter = next(l for l in "mnopqrstuvwxy" if not os.path.lexists(os.path.join(dosdevices, l + ":")))
        self.link = os.path.join(dosdevices, self.letter + ":")
        os.symlink(self.path, self.link)

    def windows(self, name):
        return "%s:\\%s" % (self.letter.upper(), name)

    def close(self):
        if os.path.islink(self.link):
            os.remove(self.link)
        for _ in range(50):
            if subprocess.run(["umount", self.path], capture_output=True, timeout=30).returncode == 0:
                break
            time.sleep(0.2)
        shutil.rmtree(self.path, ignore_errors=True)


@unittest.skipUnless(hasattr(os, "geteuid") and os.geteuid() == 0, "mounting a tmpfs needs root")
class UpdateAcrossVolumes(unittest.TestCase):
    def setUp(self):
        cvtest.clear_logs()
        self.server = UpdateServer()
        self.server.start()
        self.scratch = cvtest.ScratchDir("volumes")
        self.installer = self.scratch.file("CV_setup.exe")
        values = [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.server.http_port),
                          "--product": "Callvane"}.get(o, v)) for o, w, v in SAMPLE]
        r = stamp(cvtest.built("CV_setup.exe"), self.installer, values)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.stamped = digest(self.installer)
        self.client = padded(cvtest.fixture("democlient.exe"), 3 * MIB)
        self.body = self.scratch.file("delivered.bin")
        with open(self.body, "wb") as f:
            f.write(self.client)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=self.body)
        self.volume = None
        self.boxes = cvtest.BoxAnswerer()

    def tearDown(self):
        self.boxes.stop()
        self.server.stop()
        if self.volume:
            started = os.path.join(self.volume.path, "CV_setup.exe.started.txt")
            cvtest.wait_until(lambda: not os.path.exists(started) or time.time() - os.path.getmtime(started) > cvtest.DEMO_CLIENT_SECONDS + 2, 15)
            self.volume.close()
        self.scratch.cleanup()

    def run_from_volume(self, size):
        self.volume = Volume(size)
        shutil.copy2(self.installer, os.path.join(self.volume.path, "CV_setup.exe"))
        run = cvtest.Run(self.volume.windows("CV_setup.exe"), cwd=self.volume.path)
        code = run.wait(180)
        log = cvtest.read_log()
        self.assertEqual(code, cvtest.exit_code_of(log))
        return log

    def leftovers(self):
        return [n for n in os.listdir(self.volume.path) if n.endswith(".tmp")]

    def test_download_is_copied_beside_the_installer_then_renamed(self):
        log = self.run_from_volume(os.path.getsize(self.installer) + len(self.client) + MIB)
        exe = os.path.join(self.volume.path, "CV_setup.exe")
        self.assertEqual(digest(exe), hashlib.sha256(self.client).hexdigest(), log)
        self.assertEqual(digest(exe + ".backupFromWebupdate"), self.stamped)
        copied = [m for lvl, f, m in cvtest.messages(log) if m.startswith("Download copied beside the target: ")]
        self.assertEqual(len(copied), 1, log)
        self.assertTrue(copied[0].lower().startswith("download copied beside the target: %s:/" % self.volume.letter),
                        copied[0])
        self.assertEqual(self.leftovers(), [])
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(exe + ".started.txt"), 20), log)
        self.assertEqual(self.boxes.count, 0)

    def test_copy_that_does_not_fit_leaves_the_installer(self):
        # Room for the installer and half the download: the copy fails in the middle.
        log = self.run_from_volume(os.path.getsize(self.installer) + len(self.client) // 2)
        exe = os.path.join(self.volume.path, "CV_setup.exe")
        self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, cvtest.BOX_WAIT), "no error message box; the log:\n" + log)
        errors = [m for lvl, f, m in cvtest.messages(log) if lvl == "ERROR   - " and f == cvtest.FN_INIT_INSTANCE]
        self.assertEqual(len(errors), 1, log)
        self.assertRegex(errors[0], r"^Unable to check for update \(reason 14 - \d+\)$")
        self.assertTrue(any(m.startswith("Unable to copy the download beside ") for _, _, m in cvtest.messages(log)),
                        log)
        self.assertEqual(digest(exe), self.stamped, "the installer stays as it was")
        self.assertFalse(os.path.exists(exe + ".backupFromWebupdate"))
        self.assertEqual(self.leftovers(), [], "no partial copy is left beside the installer")
        self.assertFalse(os.path.exists(exe + ".started.txt"))


if __name__ == "__main__":
    cvtest.main()
