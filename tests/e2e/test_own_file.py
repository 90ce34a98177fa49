"""An installer that cannot read its own file at start-up (another process holds a lock on it, as
a scanner or a backup tool may) cannot tell whether it is signed: it refuses every update (result
20, the error box, no request to the server) with the pin decision's line naming the system error,
instead of running as an unsigned installer. Control: the same file without the lock updates."""

import os
import unittest

import cvtest
from cvtest import SAMPLE, digest, read, stamp, write

ERROR_LOCK_VIOLATION = 33
ERROR_SHARING_VIOLATION = 32


class OwnFileLock(cvtest.LoopbackUpdateCase):
    scratch_name = "ownfile"

    def lock(self, mode):
        """A filelocker holding the installer file in mode until the test ends."""
        release = self.scratch.file("release-" + mode)
        holder = cvtest.Run(cvtest.fixture("filelocker.exe"), [mode, cvtest.to_windows(self.exe),
                                                               cvtest.to_windows(release)])
        line = holder.proc.stdout.readline().decode("utf-8", "replace").strip()
        self.assertEqual(line, "holding", "the lock could not be taken")

        def unlock():
            write(release, b"")
            holder.wait(30)

        self.addCleanup(unlock)

    def prepare(self):
        body = write(self.scratch.file("client.exe"), read(cvtest.fixture("democlient.exe")) + b"\0" * 200000)
        values = [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.server.http_port)}.get(o, v))
                  for o, w, v in SAMPLE]
        r = stamp(cvtest.built("CV_setup.exe"), self.exe, values)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body)
        return body

    def run_installer(self):
        cvtest.clear_logs()
        before = len(self.server.requests)
        code, _ = cvtest.run(self.exe, timeout=180)
        self.assertEqual(code, 0)
        return cvtest.read_log(), self.server.requests[before:]

    def test_control_the_same_file_without_a_lock_updates(self):
        body = self.prepare()
        log, requests = self.run_installer()
        self.assertEqual(len(requests), 1, log)
        self.assertEqual(digest(self.exe), digest(body), log)
        self.assertIn(("message - ", cvtest.FN_DECIDE_PUBLISHER_PIN,
                       "No publisher pin in force (unsigned installer, no signer entry in the deployment)"),
                      cvtest.messages(log))
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20), log)

    def test_a_locked_own_file_refuses_every_update(self):
        self.prepare()
        stamped = digest(self.exe)
        # Every byte locked, reading shared: the program still starts from the file.
        self.lock("--range")
        log, requests = self.run_installer()
        why = "the installer's own file cannot be read (system error %d)" % ERROR_LOCK_VIOLATION
        self.assertIn(("message - ", cvtest.FN_DECIDE_PUBLISHER_PIN, "Publisher pin in force: none can pass (%s)" % why),
                      cvtest.messages(log))
        self.assertIn(("ERROR   - ", cvtest.FN_INIT_INSTANCE, "Update refused: " + why), cvtest.messages(log))
        self.assertNotIn("This executable has no deployment attached!", log)
        self.assertEqual([m for m in cvtest.messages(log) if "cannot be read" in m[2]],
                         [("message - ", cvtest.FN_DECIDE_PUBLISHER_PIN, "Publisher pin in force: none can pass (%s)"
                           % why), ("ERROR   - ", cvtest.FN_INIT_INSTANCE, "Update refused: " + why)])
        self.assertIn("Unable to check for update (reason 20 - ", log)
        self.assertEqual(requests, [], "the server is not asked")
        self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, cvtest.BOX_WAIT), "no error message box")
        self.assertEqual(digest(self.exe), stamped)
        self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))


if __name__ == "__main__":
    cvtest.main()
