"""A busy update server end to end: answers 503 with a short Retry-After are waited for (the splash
stays up) and the server is asked again, until the program comes; a Retry-After longer than the
installer waits is today's failure at once, in a silent run as well."""

import hashlib
import os
import time
import unittest

import cvtest
from cvtest import SAMPLE, digest, stamp

FN_WAIT = "cWebupdater::waitForBusyServer"


def busy(retry_after):
    return {"status": 503, "body_text": "<html>busy</html>", "content_type": "text/html",
            "headers": [["Retry-After", retry_after]]}


class BusyServer(cvtest.LoopbackUpdateCase):
    scratch_name = "busy"

    def setUp(self):
        super().setUp()
        values = [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.server.http_port),
                          "--product": "Callvane"}.get(o, v)) for o, w, v in SAMPLE]
        r = stamp(cvtest.built("CV_setup.exe"), self.exe, values)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.stamped = digest(self.exe)

    def waits(self, log):
        return [m for lvl, f, m in cvtest.messages(log) if lvl == "WARNING - " and f == FN_WAIT]

    def test_two_busy_answers_then_the_program(self):
        with open(cvtest.fixture("democlient.exe"), "rb") as f:
            client = f.read()
        client += b"\0" * max(0, 200000 - len(client))
        body_file = self.scratch.file("delivered.bin")
        cvtest.write(body_file, client)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body_file,
                              sequence=[busy("2"), busy("2"), {}])
        before = set(cvtest.visible_windows())
        started = time.time()
        run = cvtest.Run(self.exe)
        seen_while_waiting = set()
        try:
            self.assertTrue(cvtest.wait_until(lambda: len(self.server.requests) >= 1, 60))
            while len(self.server.requests) < 3 and time.time() - started < 60:
                seen_while_waiting.update(cvtest.visible_windows())
                time.sleep(0.4)
            code = run.wait(120)
        finally:
            run.kill()
        took = time.time() - started
        log = cvtest.read_log()
        self.assertEqual(code, 0, log)
        self.assertEqual(len(self.server.requests), 3)
        self.assertGreaterEqual(took, 4, "two waits of at least 2 s each")
        self.assertTrue(seen_while_waiting - before, "the splash stays up while the installer waits")
        waits = self.waits(log)
        self.assertEqual(len(waits), 2, log)
        for n, line in enumerate(waits, 1):
            self.assertRegex(line, r'^Server busy \(status 503, Retry-After "2"\): waiting 2\.\d{3} s before retry '
                                   r'%d of 3$' % n)
        self.assertEqual(digest(self.exe), hashlib.sha256(client).hexdigest())
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20))
        self.assertEqual(self.boxes.count, 0)

    def test_long_retry_after_fails_at_once_in_a_silent_run(self):
        self.boxes.stop()  # nobody answers: a silent run shows no box
        self.server.configure(status=503, content_type="application/octet-stream", body_text="busy",
                              headers=[["Retry-After", "3600"]])
        started = time.time()
        run = cvtest.Run(self.exe, ["--silent"])
        try:
            code = run.wait(60)
        finally:
            run.kill()
        self.assertLess(time.time() - started, 30, "no wait at all")
        log = cvtest.read_log()
        self.assertEqual(code, 17, log)
        self.assertEqual(len(self.server.requests), 1)
        self.assertEqual(self.waits(log), ['Server busy (status 503, Retry-After "3600"): 3600 s is longer than 120 s, '
                                           'giving up'], log)
        self.assertEqual(digest(self.exe), self.stamped)


if __name__ == "__main__":
    cvtest.main()
