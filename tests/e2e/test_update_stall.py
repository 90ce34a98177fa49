"""The installer's own stall bound: a server that goes silent in the middle of the body, or one that
trickles its response headers a line every 20 seconds, ends the run with a failed download
(reason 13) and the error message box within about two minutes, the installer file unchanged.
Slow by nature (the bound is 60 seconds)."""

import os
import time
import unittest

import cvtest
from cvtest import SAMPLE, digest, stamp
from updateserver import UpdateServer


class StalledUpdate(unittest.TestCase):
    def setUp(self):
        cvtest.clear_logs()
        self.server = UpdateServer()
        self.server.start()
        self.scratch = cvtest.ScratchDir("stall")
        self.exe = self.scratch.file("CV_setup.exe")
        values = [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.server.http_port),
                          "--product": "Callvane"}.get(o, v)) for o, w, v in SAMPLE]
        r = stamp(cvtest.built("CV_setup.exe"), self.exe, values)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.stamped = digest(self.exe)
        self.boxes = cvtest.BoxAnswerer()

    def tearDown(self):
        self.boxes.stop()
        self.server.stop()
        self.scratch.cleanup()

    def test_trickled_headers_end_the_run_within_two_minutes(self):
        # Ten minutes of header lines, one every 20 seconds: without a bound from the send on the
        # installer would wait for all of them.
        self.server.configure(status=200, content_type="application/octet-stream", body_size=3000000,
                              header_trickle=[30, 20])
        started = time.time()
        run = cvtest.Run(self.exe)
        try:
            self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, 150), "no error box: " + cvtest.read_log())
            took = time.time() - started
            self.assertEqual(run.wait(60), 13, "the exit code is the failed download's reason")
        finally:
            run.kill()
        self.assertGreater(took, 55, "the bound is about a minute")
        self.assertLess(took, 130, "the run ends within about two minutes of the send")
        log = cvtest.read_log()
        messages = cvtest.messages(log)
        stalled = [m for lvl, f, m in messages if lvl == "ERROR   - " and f == cvtest.FN_DOWNLOAD
                   and m.startswith("Download stalled: 0 bytes in ")]
        self.assertEqual(len(stalled), 1, log)
        errors = [m for lvl, f, m in messages if lvl == "ERROR   - " and f == cvtest.FN_INIT_INSTANCE]
        self.assertEqual(errors, ["Unable to check for update (reason 13 - 1460)"], log)
        self.assertEqual(digest(self.exe), self.stamped)

    def test_silent_server_ends_the_run_within_two_minutes(self):
        self.server.configure(status=200, content_type="application/octet-stream", body_size=3000000,
                              stall_after=100000, stall_seconds=400)
        run = cvtest.Run(self.exe)
        try:
            self.assertTrue(cvtest.wait_until(lambda: len(self.server.requests) >= 1, 60), "no request")
            stalled_at = time.time()
            self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, 150), "no error box: " + cvtest.read_log())
            took = time.time() - stalled_at
            self.assertEqual(run.wait(60), 13, "the exit code is the failed download's reason")
        finally:
            run.kill()
        self.assertGreater(took, 55, "the bound is about a minute")
        self.assertLess(took, 130, "the run ends within about two minutes of the stall")
        log = cvtest.read_log()
        messages = cvtest.messages(log)
        stalled = [m for lvl, f, m in messages if lvl == "ERROR   - " and f == cvtest.FN_DOWNLOAD
                   and m.startswith("Download stalled: ")]
        self.assertEqual(len(stalled), 1, log)
        errors = [m for lvl, f, m in messages if lvl == "ERROR   - " and f == cvtest.FN_INIT_INSTANCE]
        self.assertEqual(errors, ["Unable to check for update (reason 13 - 1460)"], log)
        self.assertEqual(digest(self.exe), self.stamped)
        self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))


if __name__ == "__main__":
    cvtest.main()
