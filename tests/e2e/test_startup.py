"""The real CV_setup.exe under Wine: header and stage lines in the log, the single-instance check
against a running copy, the wait of a restarted copy, the file-name prefix rule."""

import os
import subprocess
import time
import unittest

import cvtest


class Startup(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("startup")
        cvtest.clear_logs()
        self.exe = cvtest.copy_installer(self.scratch.path)
        self.release = self.scratch.file("release-holder")

    def tearDown(self):
        open(self.release, "w").close()
        self.scratch.cleanup()

    def start_holder(self):
        holder = cvtest.Run(cvtest.fixture("instanceholder.exe"), [cvtest.to_windows(self.release)])
        line = holder.proc.stdout.readline()
        self.assertEqual(line.strip(), b"holding")
        return holder

    def test_plain_start_writes_header_stage_lines_and_shutdown(self):
        run = cvtest.InstallerRun(self.exe)
        code = run.wait(120)
        self.assertEqual(code, 6, "an unstamped build has no deployment block")
        log = cvtest.read_log()
        lines = cvtest.log_lines(log)
        self.assertGreaterEqual(len(lines), 9, log)
        # The header block opens the run.
        self.assertTrue(lines[0].startswith("off     - cCV_INSTALLER("))
        self.assertTrue(lines[0].endswith("Logger::log    ===================="))
        self.assertIn("Logging started for: cCV_INSTALLER(", lines[1])
        self.assertTrue(lines[2].endswith("      with loglevel: 5 - debug   - "))
        self.assertTrue(lines[3].endswith("--------------------"))
        # Every line carries the same instance name, a lower-case hex number.
        instance = lines[0][10:lines[0].index("\t")]
        self.assertRegex(instance, r"^cCV_INSTALLER\([0-9a-f]+\)$")
        for l in lines:
            self.assertEqual(l[10:l.index("\t")], instance)
        msgs = [m for _, _, m in cvtest.messages(log)]
        order = [
            "Starting cCV_INSTALLER version 3.39-QRN32-VLM6.52578",
            "Parsing commandline: ><",
            "Searching for previous instance",
            "No prevoius instance found",
            "Shutdown cCV_INSTALLER done (Additionaly destroying: logger, mutex, visualmanager)",
        ]
        positions = [msgs.index(m) for m in order]
        self.assertEqual(positions, sorted(positions), msgs)
        self.assertEqual(msgs[-1], order[-1], "shutdown is the last line of the run")
        functions = {m: f for _, f, m in cvtest.messages(log)}
        self.assertEqual(functions["Starting cCV_INSTALLER version 3.39-QRN32-VLM6.52578"], cvtest.FN_START_LOGGER)
        self.assertEqual(functions["Parsing commandline: ><"], cvtest.FN_PARSE_COMMAND_LINE)
        self.assertEqual(functions["No prevoius instance found"], cvtest.FN_FIND_PREVIOUS_INSTANCE)
        self.assertEqual(functions[order[-1]], cvtest.FN_EXIT_INSTANCE)
        # Stages in order, where present: 6 between 5 and 7.
        if "Checking for previous versions" in msgs and "Reading deployment" in msgs:
            self.assertLess(msgs.index("Checking for previous versions"), msgs.index("Reading deployment"))
            self.assertLess(msgs.index("No prevoius instance found"), msgs.index("Checking for previous versions"))

    def test_second_copy_quits_while_first_runs(self):
        holder = self.start_holder()
        try:
            run = cvtest.InstallerRun(self.exe)
            code = run.wait(60)
            self.assertEqual(code, 0)
            log = cvtest.read_log()
            m = cvtest.messages(log)
            self.assertIn(("FATAL   - ", cvtest.FN_FIND_PREVIOUS_INSTANCE, "Found a running instance!"), m)
            self.assertIn(("WARNING - ", cvtest.FN_INIT_INSTANCE, "Found a previous instance (quit)"), m)
            msgs = [x[2] for x in m]
            self.assertNotIn("Checking for previous versions", msgs, "start-up stops at stage 4")
            self.assertEqual(run.boxes_answered, 0)
            self.assertTrue(holder.running(), "the other instance is left alone")
        finally:
            open(self.release, "w").close()
            holder.wait(30)

    def test_restart_waits_for_the_running_copy(self):
        holder = self.start_holder()
        run = cvtest.InstallerRun(self.exe, ["--restart"])
        try:
            self.assertTrue(cvtest.wait_until(lambda: "Waiting for previous instance to stop" in cvtest.read_log(), 60))
            time.sleep(1.5)
            self.assertTrue(run.running(), "the restarted copy must keep waiting")
            self.assertNotIn("No previous instance running", cvtest.read_log())
            open(self.release, "w").close()
            holder.wait(30)
            run.wait(120)
        finally:
            run.kill()
        msgs = [m for _, _, m in cvtest.messages(cvtest.read_log())]
        self.assertIn("Parsing commandline: >--restart<", msgs)
        self.assertLess(msgs.index("Waiting for previous instance to stop"), msgs.index("No previous instance running"))
        self.assertNotIn("Found a running instance!", msgs)

    def test_restart_without_running_copy_continues_at_once(self):
        run = cvtest.InstallerRun(self.exe, ["--restart"])
        run.wait(120)
        msgs = [m for _, _, m in cvtest.messages(cvtest.read_log())]
        i = msgs.index("Waiting for previous instance to stop")
        self.assertEqual(msgs[i + 1], "No previous instance running")

    def test_prefix_rule_names_the_log_file(self):
        exe = cvtest.copy_installer(self.scratch.path, "xyzCV_setup.exe")
        run = cvtest.InstallerRun(exe)
        run.wait(120)
        self.assertIn("Starting cCV_INSTALLER version", cvtest.read_log("xyzCV.log"))
        self.assertEqual(cvtest.read_log("CV.log"), "")


if __name__ == "__main__":
    cvtest.main()
