"""Another process that holds the log's cross-process lock (the "Global\\" mutex of the log file's
path) and never lets go costs the installer one bounded wait, not its run: the installer still
finishes, about 10 seconds later than without the holder, with its whole log and one level-2
line saying that it wrote without the lock. The run used is the short one of a second instance
(an instance holder makes the installer end at the single-instance check)."""

import os
import time
import unittest

import cvtest

NOTICE_START = "Waited 10000 ms in vain for the log lock Global\\"


class LogLock(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("loglock")
        cvtest.clear_logs()
        self.exe = cvtest.copy_installer(self.scratch.path)
        self.release = self.scratch.file("release")
        self.holders = []

    def tearDown(self):
        open(self.release, "w").close()
        for run in self.holders:
            try:
                run.wait(30)
            except Exception:
                run.kill()
        self.scratch.cleanup()

    def hold(self, fixture, *args):
        run = cvtest.Run(cvtest.fixture(fixture), [*args, cvtest.to_windows(self.release)])
        self.holders.append(run)
        line = run.proc.stdout.readline().decode("utf-8", "replace").strip()
        self.assertTrue(line.startswith("holding"), line)
        return line

    def timed_run(self):
        cvtest.clear_logs()
        start = time.monotonic()
        code, out = cvtest.run(self.exe, [], timeout=120)
        return time.monotonic() - start, code, cvtest.read_log()

    def test_a_held_log_lock_delays_the_run_once(self):
        self.hold("instanceholder.exe")

        # Control: nobody holds the log lock.
        plain, code, log = self.timed_run()
        self.assertEqual(code, 0, log)
        texts = [m for _, _, m in cvtest.messages(log)]
        self.assertIn("Found a previous instance (quit)", texts)
        self.assertFalse([t for t in texts if t.startswith(NOTICE_START)])

        held_by = self.hold("logmutexholder.exe", "--installer-log")
        delayed, code, log = self.timed_run()
        self.assertEqual(code, 0, log)
        extra = delayed - plain
        # One wait of 10 s (the holder really held the lock), and no second one.
        self.assertGreaterEqual(extra, 9.0, "the run did not wait for the held lock")
        self.assertLess(extra, 15.0, "more than one wait")

        msgs = cvtest.messages(log)
        notices = [(level, fn, m) for level, fn, m in msgs if m.startswith(NOTICE_START)]
        self.assertEqual(len(notices), 1, log)
        level, fn, message = notices[0]
        self.assertEqual((level, fn), ("ERROR   - ", cvtest.FN_LOGGER))
        self.assertEqual(message, "Waited 10000 ms in vain for the log lock %s: this run writes its log without it"
                         % held_by.split(" ", 1)[1])
        texts = [m for _, _, m in msgs]
        # The whole run is in the log: header, the line that waited, the notice, the rest.
        self.assertEqual(texts[texts.index(message) - 1].split(" ")[0], "Starting")
        for expected in ("Searching for previous instance", "Found a running instance!",
                         "Found a previous instance (quit)"):
            self.assertIn(expected, texts)
        self.assertTrue(texts[-1].startswith("Shutdown cCV_INSTALLER done"), texts[-1])


if __name__ == "__main__":
    cvtest.main()
