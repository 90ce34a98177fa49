"""The real CV_setup.exe under Wine stops the running processes of the older product generations:
fixture programs run as rezaroz.exe (a message loop that ends on WM_QUIT, exit code 7) and as
mx_hotkey.exe (no message queue, only a termination ends it, exit code 0). A rezaroz.exe that a
watchdog keeps restarting is given up after 20 stops, and the run goes on."""

import os
import shutil
import unittest

import cvtest

F = cvtest.FN_CHECK_OLD_CV_VERSIONS
NONE_RUNNING = [
    "CV2: rezaroz.exe is not running",
    "CV2: mxcallctrl.exe is not running",
    "CV1: mx_hotkey.exe is not running",
]


class OldVersions(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("oldversions")
        cvtest.clear_logs()
        self.exe = cvtest.copy_installer(self.scratch.path)
        self.fixtures = []

    def tearDown(self):
        for run in self.fixtures:
            run.kill()
        self.scratch.cleanup()

    def start_fixture(self, fixture_exe, folder, name):
        """Copies a fixture to folder/name, starts it and waits until it reports that it is ready."""
        folder = self.scratch.file(folder)
        os.makedirs(folder, exist_ok=True)
        target = os.path.join(folder, name)
        shutil.copy2(cvtest.fixture(fixture_exe), target)
        report = os.path.join(folder, "started.txt")
        run = cvtest.Run(target, env={"CV_FIXTURE_REPORT": cvtest.to_windows(report)})
        self.fixtures.append(run)
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(report), 30), "fixture did not start: " + target)
        return run

    def run_installer(self):
        run = cvtest.InstallerRun(self.exe)
        code = run.wait(180)
        log = cvtest.read_log()
        self.assertEqual(code, cvtest.exit_code_of(log))
        return log, cvtest.messages(log)

    def assert_stage_placement(self, msgs):
        stage = msgs.index("Checking for previous versions")
        self.assertLess(msgs.index("No prevoius instance found"), stage)
        if "Reading deployment" in msgs:
            self.assertLess(stage, msgs.index("Reading deployment"))
        own = [i for i, m in enumerate(msgs) if m.startswith("Red environment variable: USERNAME value: ")]
        self.assertEqual(len(own), 1, "USERNAME is read once")
        self.assertGreater(own[0], stage)
        return stage

    def test_running_old_generations_are_stopped_in_order(self):
        first = self.start_fixture("msgloop_app.exe", "Old One", "rezaroz.exe")
        second = self.start_fixture("msgloop_app.exe", "old2", "REZaroz.exe")
        hotkey = self.start_fixture("noqueue_app.exe", "old1", "mx_hotkey.exe")

        log, messages = self.run_installer()

        for run, code in ((first, 7), (second, 7), (hotkey, 0)):
            self.assertTrue(cvtest.wait_until(lambda: not run.running(), 10), "an old process still runs")
            # 7: ended by its message loop after WM_QUIT; 0: terminated.
            self.assertEqual(run.proc.returncode, code)

        own = [(level, m) for level, fn, m in messages if fn == F]
        self.assertEqual(
            [m for _, m in own],
            [
                "Trying to stop Callvane 2 (rezaroz.exe is running)",
                "rezaroz.exe stopped",
                "Trying to stop Callvane 2 (rezaroz.exe is running)",
                "rezaroz.exe stopped",
                "CV2: rezaroz.exe is not running",
                "CV2: mxcallctrl.exe is not running",
                "Trying to stop Callvane 1 (mx_hotkey.exe is running)",
                "mx_hotkey.exe stopped",
                "CV1: mx_hotkey.exe is not running",
            ],
            log,
        )
        self.assertTrue(all(level == "debug   - " for level, _ in own))
        msgs = [m for _, _, m in messages]
        stage = self.assert_stage_placement(msgs)
        self.assertEqual(msgs[stage + 2], own[0][1], "the stage's lines follow the USERNAME read")

    def test_a_process_that_keeps_coming_back_is_given_up_after_20_stops(self):
        folder = self.scratch.file("watched")
        os.makedirs(folder)
        child = os.path.join(folder, "rezaroz.exe")
        shutil.copy2(cvtest.fixture("noqueue_app.exe"), child)
        report = os.path.join(folder, "started.txt")
        stop = self.scratch.file("stop-respawning")
        watchdog = cvtest.Run(cvtest.fixture("respawner.exe"), [cvtest.to_windows(child), cvtest.to_windows(stop)],
                              env={"CV_FIXTURE_REPORT": cvtest.to_windows(report)})
        self.fixtures.append(watchdog)
        try:
            self.assertTrue(cvtest.wait_until(lambda: os.path.exists(report), 30), "the watched program did not start")

            log, messages = self.run_installer()
        finally:
            open(stop, "w").close()
            self.assertTrue(cvtest.wait_until(lambda: not watchdog.running(), 30), "the watchdog did not end")

        own = [(level, m) for level, fn, m in messages if fn == F]
        texts = [m for _, m in own]
        self.assertEqual(texts[:40], ["Trying to stop Callvane 2 (rezaroz.exe is running)", "rezaroz.exe stopped"] * 20, log)
        self.assertEqual(own[40], ("ERROR   - ", "rezaroz.exe still running after 20 stops - giving up on it"))
        # The run goes on with the other generations and the rest of start-up.
        self.assertEqual(texts[41:], NONE_RUNNING[1:], log)
        self.assert_stage_placement([m for _, _, m in messages])

    def test_nothing_running_gives_three_lines(self):
        log, messages = self.run_installer()
        own = [(level, m) for level, fn, m in messages if fn == F]
        self.assertEqual([m for _, m in own], NONE_RUNNING, log)
        self.assertTrue(all(level == "debug   - " for level, _ in own))
        self.assert_stage_placement([m for _, _, m in messages])


if __name__ == "__main__":
    cvtest.main()
