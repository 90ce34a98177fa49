"""The installer's own stall bound, from the send of the request to the last body byte: a server
that trickles its response headers a line every 20 seconds, one that trickles a chunk-size line a
byte every 10 seconds, or one that goes silent in the middle of the body ends the run with a failed
download (reason 13, system error 1460) and the error message box within about two minutes of the
moment it stops bringing data, the installer file unchanged. Slow by nature (the bound is 60
seconds)."""

import os
import time
import unittest

import cvtest
from cvtest import SAMPLE, digest, stamp
from updateserver import UpdateServer

# name, the server's behaviour, the start of the stall's log line.
CASES = [
    ("trickled headers", {"header_trickle": [30, 20]}, "Download stalled: 0 bytes in "),
    ("trickled chunk-size line", {"chunked": True, "chunk_line_trickle": [30, 10]}, "Download stalled: "),
    ("silent server", {"stall_after": 100000, "stall_seconds": 400}, "Download stalled: "),
]


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

    def stalled_run(self, behaviour):
        """Runs the installer against the behaviour; the seconds from the request to the box."""
        self.server.requests.clear()
        self.server.configure(status=200, content_type="application/octet-stream", body_size=3000000, **behaviour)
        boxes = self.boxes.count
        run = cvtest.Run(self.exe)
        try:
            self.assertTrue(cvtest.wait_until(lambda: len(self.server.requests) >= 1, 60), "no request")
            asked = time.time()
            self.assertTrue(cvtest.wait_until(lambda: self.boxes.count > boxes, 150), "no box: " + cvtest.read_log())
            took = time.time() - asked
            self.assertEqual(run.wait(60), 13, "the exit code is the failed download's reason")
        finally:
            run.kill()
        return took

    def test_a_stalled_exchange_ends_the_run_within_two_minutes(self):
        for name, behaviour, line in CASES:
            with self.subTest(name):
                cvtest.clear_logs()
                took = self.stalled_run(behaviour)
                self.assertGreater(took, 55, "the bound is about a minute")
                self.assertLess(took, 130, "the run ends within about two minutes")
                log = cvtest.read_log()
                messages = cvtest.messages(log)
                stalled = [m for lvl, f, m in messages
                           if lvl == "ERROR   - " and f == cvtest.FN_DOWNLOAD and m.startswith(line)]
                self.assertEqual(len(stalled), 1, log)
                errors = [m for lvl, f, m in messages if lvl == "ERROR   - " and f == cvtest.FN_INIT_INSTANCE]
                self.assertEqual(errors, ["Unable to check for update (reason 13 - 1460)"], log)
                self.assertEqual(digest(self.exe), self.stamped)
                self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))


if __name__ == "__main__":
    cvtest.main()
