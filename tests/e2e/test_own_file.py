"""An installer that cannot read its own file at start-up (another process holds it open without
sharing it, as a scanner or a backup tool may) cannot tell whether it is signed: it refuses every
update (result 20, the error box, no request to the server) with the pin decision's lines naming
the system error, instead of running as an unsigned installer. A file held that way before the
start cannot be started at all, so the holder takes it while the installer, started with
--restart, waits for an instance holder to let go. Control: the same run without the holder."""

import os
import unittest

import cvtest
from cvtest import SAMPLE, digest, read, stamp, write

ERROR_SHARING_VIOLATION = 32


class OwnFileLock(cvtest.LoopbackUpdateCase):
    scratch_name = "ownfile"

    def setUp(self):
        super().setUp()
        self.holders = []

    def tearDown(self):
        for release in ("release", "release-instance"):
            write(self.scratch.file(release), b"")
        for holder in self.holders:
            try:
                holder.wait(30)
            except Exception:
                holder.kill()
        super().tearDown()

    def hold(self, fixture, release, *args):
        """A fixture that holds something until the scratch file named release exists."""
        holder = cvtest.Run(cvtest.fixture(fixture), [*args, cvtest.to_windows(self.scratch.file(release))])
        self.holders.append(holder)
        self.assertEqual(holder.proc.stdout.readline().decode("utf-8", "replace").strip(), "holding")
        return holder

    def run_installer(self, lock):
        """Stamps the installer for the server (which delivers a client build) and runs it with
        --restart behind an instance holder; lock: hold the installer file once it runs."""
        body = write(self.scratch.file("client.exe"), read(cvtest.fixture("democlient.exe")) + b"\0" * 200000)
        values = [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.server.http_port)}.get(o, v))
                  for o, w, v in SAMPLE]
        r = stamp(cvtest.built("CV_setup.exe"), self.exe, values)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body)
        stamped = digest(self.exe)
        cvtest.clear_logs()
        for release in ("release", "release-instance"):
            if os.path.exists(self.scratch.file(release)):
                os.remove(self.scratch.file(release))
        instance = self.hold("instanceholder.exe", "release-instance")
        run = cvtest.Run(self.exe, ["--restart"])
        try:
            self.assertTrue(cvtest.wait_until(lambda: "Waiting for previous instance to stop" in cvtest.read_log(),
                                              60), cvtest.read_log())
            if lock:
                self.hold("filelocker.exe", "release", cvtest.to_windows(self.exe))
            write(self.scratch.file("release-instance"), b"")
            instance.wait(30)
            code = run.wait(180)
        finally:
            run.kill()
        log = cvtest.read_log()
        self.assertEqual(code, 20 if lock else 0, log)
        return log, stamped, body

    def test_a_locked_own_file_refuses_every_update(self):
        # Control: the same run without the holder updates.
        log, _, body = self.run_installer(lock=False)
        self.assertEqual(digest(self.exe), digest(body), log)
        self.assertIn(("message - ", cvtest.FN_DECIDE_PUBLISHER_PIN,
                       "No publisher pin in force (unsigned installer, no signer entry in the deployment)"),
                      cvtest.messages(log))
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20), log)
        cvtest.wait_until(lambda: self.client_done(), 15)
        for leftover in (self.exe + ".started.txt", self.exe + ".backupFromWebupdate"):
            os.remove(leftover)
        requests = len(self.server.requests)

        log, stamped, _ = self.run_installer(lock=True)
        why = "the installer's own file cannot be read (system error %d)" % ERROR_SHARING_VIOLATION
        self.assertEqual([m for m in cvtest.messages(log) if "cannot be read" in m[2]],
                         [("message - ", cvtest.FN_DECIDE_PUBLISHER_PIN,
                           "Publisher pin in force: none can pass (%s)" % why),
                          ("ERROR   - ", cvtest.FN_INIT_INSTANCE, "Update refused: " + why)], log)
        self.assertNotIn("This executable has no deployment attached!", log)
        self.assertIn("Unable to check for update (reason 20 - ", log)
        self.assertEqual(len(self.server.requests), requests, "the server is not asked")
        self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, cvtest.BOX_WAIT), "no error message box; the log:\n" + log)
        self.assertEqual(digest(self.exe), stamped)
        self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))


if __name__ == "__main__":
    cvtest.main()
