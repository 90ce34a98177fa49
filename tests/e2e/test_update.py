"""The main job end to end: a stamped CV_setup.exe under Wine asks a loopback update server for
the current build, swaps it in place of itself (keeping the backup) and restarts it with
"--restart"; every failure ends in the error message box and leaves the installer file as it was."""

import hashlib
import os
import re
import shutil
import subprocess
import threading
import time
import unittest

import cvtest
from cvtest import SAMPLE, digest, stamp

REQUEST_PATH = "/vazu/public/req?getCVupdate&var=cvmode:on&var=cvversion:3.39-QRN32-VLM6.52578"
LAST_MODIFIED = "Tue, 05 Mar 2024 14:07:09 GMT"


def temp_folder():
    """The prefix's temporary folder (GetTempPathW of the installer) as a Unix path."""
    return os.path.join(cvtest.PREFIX, "drive_c", "users", cvtest.USER, "Temp")


def padded(path, size):
    """A program's bytes with an overlay appended, so the body lies outside the refused size band."""
    with open(path, "rb") as f:
        data = f.read()
    return data + b"\0" * max(0, size - len(data))


class UpdateRun(cvtest.LoopbackUpdateCase):
    def setUp(self):
        super().setUp()
        r = self.stamp_for_server(self.exe, "Callvane")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.stamped = digest(self.exe)

    def stamp_for_server(self, dest, product):
        values = [(o, w, {"--protocol": "http", "--host": "127.0.0.1", "--port": str(self.server.http_port),
                          "--product": product}.get(o, v)) for o, w, v in SAMPLE]
        return stamp(cvtest.built("CV_setup.exe"), dest, values)

    def run_installer(self, timeout=180):
        run = cvtest.Run(self.exe)
        code = run.wait(timeout)
        return code, cvtest.read_log()

    def level2(self, log):
        return [m for lvl, f, m in cvtest.messages(log) if lvl == "ERROR   - " and f == cvtest.FN_INIT_INSTANCE]

    def assertShutdownInOrder(self, msgs):
        order = [msgs.index(m) for m in ("Shutting down updater", "Closing Rootwindow")]
        self.assertEqual(order, sorted(order))
        self.assertGreater(len(msgs) - 1, order[-1])
        self.assertEqual(msgs[-1], "Shutdown cCV_INSTALLER done (Additionaly destroying: logger, mutex, visualmanager)")

    def expect_failure(self, reason):
        code, log = self.run_installer()
        self.assertEqual(code, reason, "the exit code is the update's result code; the log:\n" + log)
        self.assertTrue(cvtest.wait_until(lambda: self.boxes.count >= 1, cvtest.BOX_WAIT), "no error message box; the log:\n" + log)
        errors = self.level2(log)
        self.assertEqual(len(errors), 1, log)
        self.assertRegex(errors[0], r"^Unable to check for update \(reason %d - -?\d+\)$" % reason)
        self.assertEqual(digest(self.exe), self.stamped, "the installer file must stay as it was")
        self.assertFalse(os.path.exists(self.exe + ".started.txt"))
        msgs = [m for _, _, m in cvtest.messages(log)]
        self.assertShutdownInOrder(msgs)
        return log

    def test_typical_run_swaps_and_restarts(self):
        client = padded(cvtest.fixture("democlient.exe"), 200000)
        body_file = self.scratch.file("delivered.bin")
        with open(body_file, "wb") as f:
            f.write(client)
        self.server.configure(status=200, content_type="application/octet-stream", last_modified=LAST_MODIFIED,
                              body_file=body_file)
        code, log = self.run_installer()
        self.assertEqual(code, 0)

        self.assertEqual(len(self.server.requests), 1)
        req = self.server.requests[0]
        self.assertEqual(req["line"], "GET %s HTTP/1.1" % REQUEST_PATH)
        self.assertEqual(self.server.header(req, "User-Agent"), "Callvane installer - Webupdate")
        self.assertIsNone(self.server.header(req, "If-Modified-Since"), "an unconditional request")

        self.assertEqual(digest(self.exe), hashlib.sha256(client).hexdigest(), "the delivered file took the place")
        self.assertEqual(digest(self.exe + ".backupFromWebupdate"), self.stamped, "the backup holds the installer")
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20))
        with open(self.exe + ".started.txt", encoding="utf-8") as f:
            proof = dict(l.split("=", 1) for l in f.read().splitlines() if "=" in l)
        self.assertEqual(proof["args"], "--restart", "exactly the restart option and nothing else")
        self.assertEqual(os.path.normcase(proof["cwd"].rstrip("\\/")).lower(),
                         cvtest.to_windows(self.scratch.path).lower())
        # The delivered file carries the server's Last-Modified time.
        self.assertEqual(time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(os.path.getmtime(self.exe))),
                         "2024-03-05 14:07:09")

        msgs = [m for _, _, m in cvtest.messages(log)]
        for earlier, later in [("Writing deployment", "Creating Rootwindow"),
                               ("Creating Rootwindow", "Shutting down updater"),
                               ("Shutting down updater", "Closing Rootwindow")]:
            self.assertLess(msgs.index(earlier), msgs.index(later), log)
        self.assertEqual(msgs[-1], "Shutdown cCV_INSTALLER done (Additionaly destroying: logger, mutex, visualmanager)")
        self.assertEqual(self.level2(log), [])
        self.assertEqual(self.boxes.count, 0)

    def test_splash_shows_download_progress(self):
        if not shutil.which("import") or not os.environ.get("DISPLAY"):
            self.skipTest("needs ImageMagick and an X display")
        body_file = self.scratch.file("delivered.bin")
        with open(body_file, "wb") as f:
            f.write(padded(cvtest.fixture("democlient.exe"), 2 * 1048576))
        # About five seconds of download at 400 KiB/s.
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body_file,
                              rate=400 * 1024)
        run = cvtest.Run(self.exe)
        shots = []
        try:
            self.assertTrue(cvtest.wait_until(lambda: len(self.server.requests) >= 1, 60))
            for delay in (1.0, 2.5):
                time.sleep(delay)
                shot = self.scratch.file("progress-%d.png" % len(shots))
                subprocess.run(["import", "-window", "root", shot], check=True, timeout=30)
                shots.append(shot)
            self.assertEqual(run.wait(120), 0)
        finally:
            run.kill()
        # Pixels of the bar's colour in the screen's lower right corner, where the splash stands.
        counts = []
        for shot in shots:
            size = subprocess.run(["identify", "-format", "%w %h", shot], capture_output=True, text=True,
                                  timeout=30).stdout.split()
            w, h = int(size[0]), int(size[1])
            mean = subprocess.run(["convert", shot, "-crop", "400x200+%d+%d" % (w - 400, h - 200), "+repage",
                                   "-fuzz", "6%", "-fill", "black", "+opaque", "rgb(0,102,204)", "-fill", "white",
                                   "-opaque", "rgb(0,102,204)", "-colorspace", "Gray", "-format", "%[fx:mean]",
                                   "info:"], capture_output=True, text=True, timeout=30).stdout.strip()
            counts.append(round(float(mean) * 400 * 200))
        # The bar (6 px high, 4 px of fill per row inside the frame) grows between the two pictures.
        self.assertGreater(counts[1], counts[0] + 4 * 20, "the bar did not grow: %s" % counts)
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20))

    def test_restarted_installer_waits_for_the_first_run(self):
        # The server delivers another build of this installer; the restarted copy is then told there is nothing (404).
        body_file = self.scratch.file("delivered.bin")
        r = self.stamp_for_server(body_file, "Callvane next")
        self.assertEqual(r.returncode, 0, r.stderr)
        self.server.configure(status=200, content_type="application/x-msdownload", last_modified=LAST_MODIFIED,
                              body_file=body_file)
        watcher_done = threading.Event()

        def switch_to_404():
            if cvtest.wait_until(lambda: len(self.server.requests) >= 1, 120):
                self.server.configure(status=404, content_type="text/html", body_text="gone")
            watcher_done.set()

        threading.Thread(target=switch_to_404, daemon=True).start()
        code, _ = self.run_installer()
        self.assertEqual(code, 0)
        # The second run ends after its failed check (404, answered box).
        self.assertTrue(cvtest.wait_until(lambda: "reason 16" in cvtest.read_log(), 120), cvtest.read_log())
        self.assertTrue(cvtest.wait_until(lambda: cvtest.read_log().count("Shutdown cCV_INSTALLER done") == 2, 60))
        log = cvtest.read_log()
        lines = cvtest.log_lines(log)
        instances = []
        for l in lines:
            name = l[10:l.index("\t")]
            if name not in instances:
                instances.append(name)
        self.assertEqual(len(instances), 2, "two runs, each with its own instance name")
        first, second = instances
        first_shutdown = max(i for i, l in enumerate(lines) if l[10:].startswith(first) and "Shutdown cCV_INSTALLER" in l)
        second_msgs = [(i, cvtest.function_and_message(l)[1]) for i, l in enumerate(lines) if l[10:].startswith(second)]
        waiting = [i for i, m in second_msgs if m == "Waiting for previous instance to stop"]
        free = [i for i, m in second_msgs if m == "No previous instance running"]
        self.assertEqual(len(waiting), 1)
        self.assertEqual(len(free), 1)
        self.assertIn("Parsing commandline: >--restart<", [m for _, m in second_msgs])
        self.assertGreater(free[0], first_shutdown, "the restarted copy went on only after the first run closed")
        self.assertEqual(len(self.server.requests), 2)

    def test_no_deployment_block(self):
        cvtest.copy_installer(self.scratch.path)  # the unstamped build in place of the stamped copy
        self.stamped = digest(self.exe)
        self.expect_failure(6)
        self.assertEqual(len(self.server.requests), 0)

    def test_not_found(self):
        self.server.configure(status=404, content_type="text/html", body_text="<html>not here</html>")
        self.expect_failure(16)

    def test_wrong_content_type(self):
        self.server.configure(status=200, content_type="text/html", body_size=300000)
        self.expect_failure(11)

    def test_size_in_the_refused_band(self):
        self.server.configure(status=200, content_type="application/octet-stream", body_size=50000)
        self.expect_failure(18)

    def test_truncated_body(self):
        self.server.configure(status=200, content_type="application/octet-stream", body_size=400000,
                              truncate_after=150000)
        self.expect_failure(13)

    def test_delivered_file_that_cannot_start(self):
        # A complete image for a machine the check accepts (ARM64) but this x86 machine cannot run.
        body_file = self.scratch.file("delivered.bin")
        with open(body_file, "wb") as f:
            f.write(cvtest.program_image(300000, machine=0xAA64))
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body_file)
        code, log = self.run_installer()
        self.assertEqual(code, 3, "switched, but the restart did not start")
        self.assertIn(("ERROR   - ", cvtest.FN_INIT_INSTANCE, "Unable to restart"), cvtest.messages(log))
        time.sleep(1.5)
        self.assertEqual(self.boxes.count, 0, "a failed restart shows nothing")
        self.assertNotEqual(digest(self.exe), self.stamped, "the delivered file stays in place for the next start")
        self.assertEqual(digest(self.exe + ".backupFromWebupdate"), self.stamped)

    def test_bodies_that_are_no_program(self):
        html = "<html><body>" + "<p>Down for maintenance</p>" * 12000 + "</body></html>"
        cases = [("empty", dict(body_text="")),
                 ("json", dict(content_type="application/json", body_text='{"error": "' + "x" * 487 + '"}')),
                 ("html", dict(body_text=html))]
        self.assertEqual(len(cases[1][1]["body_text"]), 500)
        self.assertGreater(len(html), 300000)
        for name, answer in cases:
            with self.subTest(body=name):
                cvtest.clear_logs()
                before = self.boxes.count
                self.server.configure(status=200, **answer)
                code, log = self.run_installer()
                self.assertEqual(code, 19)
                self.assertTrue(cvtest.wait_until(lambda: self.boxes.count > before, cvtest.BOX_WAIT), "no error message box; the log:\n" + log)
                self.assertEqual(self.level2(log), ["Unable to check for update (reason 19 - 193)"], log)
                refused = [m for lvl, f, m in cvtest.messages(log)
                           if lvl == "ERROR   - " and f == cvtest.FN_UPDATE and "is not a program" in m]
                self.assertEqual(len(refused), 1, log)
                size = len(answer["body_text"].encode("utf-8"))
                self.assertIn("Downloaded file of %d bytes is not a program: no MZ signature" % size, refused[0])
                self.assertEqual(digest(self.exe), self.stamped, "the installer file must stay as it was")
                self.assertFalse(os.path.exists(self.exe + ".backupFromWebupdate"))
                self.assertFalse(os.path.exists(self.exe + ".started.txt"))
                self.assertEqual([n for n in os.listdir(self.scratch.path) if n.endswith(".tmp")], [])

    def test_installer_delivered_to_itself_switches_once(self):
        # The server keeps delivering one other build (B) of the installer: the first run switches to B
        # and restarts it; B finds itself delivered and ends without switching, restarting or a box.
        body_file = self.scratch.file("delivered.bin")
        r = self.stamp_for_server(body_file, "Callvane B")
        self.assertEqual(r.returncode, 0, r.stderr)
        build_b = digest(body_file)
        self.server.configure(status=200, content_type="application/x-msdownload", body_file=body_file)
        code, _ = self.run_installer()
        self.assertEqual(code, 0)
        self.assertTrue(cvtest.wait_until(lambda: cvtest.read_log().count("Shutdown cCV_INSTALLER done") >= 2, 120),
                        cvtest.read_log())
        time.sleep(3)  # a third run, if one were started, would ask the server within this time
        log = cvtest.read_log()
        self.assertEqual(log.count("Shutdown cCV_INSTALLER done"), 2, log)
        self.assertEqual(len(self.server.requests), 2, "one request per run, two runs")
        self.assertEqual(log.count("File switched to:"), 1, log)
        self.assertEqual(log.count("Parsing commandline: >--restart<"), 1, log)
        current = [m for lvl, f, m in cvtest.messages(log)
                   if lvl == "WARNING - " and f == cvtest.FN_UPDATE and "current version already" in m]
        self.assertEqual(len(current), 1, log)
        self.assertEqual(self.level2(log), [], log)
        self.assertEqual(self.boxes.count, 0)
        self.assertEqual(digest(self.exe), build_b)
        self.assertEqual(digest(self.exe + ".backupFromWebupdate"), self.stamped)

    def visible_windows_during_a_delayed_answer(self, args):
        """Runs the installer while the server waits 4 s before answering; returns its exit code and
        the visible X windows that came up while the request was pending."""
        before = set(cvtest.visible_windows())
        run = cvtest.Run(self.exe, args)
        seen = set()
        try:
            self.assertTrue(cvtest.wait_until(lambda: len(self.server.requests) >= 1, 60))
            for _ in range(6):
                time.sleep(0.4)
                seen.update(cvtest.visible_windows())
            return run.wait(120), seen - before
        finally:
            run.kill()

    def test_silent_run_shows_nothing_and_hands_its_mode_on(self):
        client = padded(cvtest.fixture("democlient.exe"), 200000)
        body_file = self.scratch.file("delivered.bin")
        cvtest.write(body_file, client)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body_file, delay=4)
        # Control: a normal run shows its splash in the same listing.
        code, seen = self.visible_windows_during_a_delayed_answer([])
        self.assertEqual(code, 0)
        self.assertTrue(seen, "the listing must see the splash of a normal run")
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20))

        self.assertTrue(cvtest.wait_until(self.client_done, 15))
        self.server.requests.clear()
        cvtest.copy_installer(self.scratch.path)
        r = self.stamp_for_server(self.exe, "Callvane")
        self.assertEqual(r.returncode, 0, r.stderr)
        os.remove(self.exe + ".started.txt")
        cvtest.clear_logs()
        code, seen = self.visible_windows_during_a_delayed_answer(["--silent"])
        self.assertEqual(code, 0)
        self.assertEqual(seen, set(), "a silent run shows no window")
        self.assertEqual(digest(self.exe), hashlib.sha256(client).hexdigest())
        self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20))
        with open(self.exe + ".started.txt", encoding="utf-8") as f:
            proof = dict(l.split("=", 1) for l in f.read().splitlines() if "=" in l)
        self.assertEqual(proof["args"], "--restart --silent")
        self.assertIn("Silent run: no splash, no message box, no dialog", [m for _, _, m in cvtest.messages(cvtest.read_log())])
        self.assertEqual(self.boxes.count, 0)

    def test_silent_failed_run_ends_by_itself_with_its_reason(self):
        self.boxes.stop()  # nobody answers: the run must end by itself
        self.server.configure(status=404, content_type="text/html", body_text="<html>not here</html>")
        before = set(cvtest.visible_windows())
        run = cvtest.Run(self.exe, ["--silent"])
        seen = set()
        try:
            end = time.time() + 30
            while run.running() and time.time() < end:
                seen.update(cvtest.visible_windows())
                time.sleep(0.3)
            self.assertFalse(run.running(), "a silent run that failed must end by itself within 30 s")
            code = run.wait(5)
        finally:
            run.kill()
        self.assertEqual(code, 16)
        self.assertEqual(seen - before, set(), "no window, no box")
        errors = self.level2(cvtest.read_log())
        self.assertEqual(len(errors), 1)
        self.assertRegex(errors[0], r"^Unable to check for update \(reason 16 - -?\d+\)$")
        self.assertEqual(digest(self.exe), self.stamped)

    def test_leftovers_under_the_old_temporary_name_change_nothing(self):
        client = padded(cvtest.fixture("democlient.exe"), 200000)
        body_file = self.scratch.file("delivered.bin")
        with open(body_file, "wb") as f:
            f.write(client)
        self.server.configure(status=200, content_type="application/octet-stream", body_file=body_file)
        planted = os.path.join(temp_folder(), "CV_setup.exe")
        os.makedirs(temp_folder(), exist_ok=True)
        shutil.rmtree(planted, ignore_errors=True)
        if os.path.isfile(planted):
            os.remove(planted)
        os.makedirs(planted)
        try:
            code, log = self.run_installer()
            self.assertEqual(code, 0)
            self.assertEqual(digest(self.exe), hashlib.sha256(client).hexdigest(), log)
            self.assertTrue(cvtest.wait_until(lambda: os.path.exists(self.exe + ".started.txt"), 20))
            self.assertTrue(os.path.isdir(planted), "the folder is left alone")
            self.assertEqual(self.boxes.count, 0)
        finally:
            shutil.rmtree(planted, ignore_errors=True)
        leftovers = [n for n in os.listdir(temp_folder()) if n.startswith("CV_setup.exe.") and n.endswith(".tmp")]
        self.assertEqual(leftovers, [])


# The shipped 32-bit build runs the update end to end (the swap and restart, the splash and its
# progress, the restarted copy's wait, the silent mode handed on, a failure's exit code and box);
# the judgement of bodies and answers is the same code on either build (unit tests in the wow64 set:
# the program-image check, the exchange, the body receiver).
cvtest.only_these_on_the_32bit_build(globals(), {
    "UpdateRun.test_typical_run_swaps_and_restarts",
    "UpdateRun.test_splash_shows_download_progress",
    "UpdateRun.test_restarted_installer_waits_for_the_first_run",
    "UpdateRun.test_silent_run_shows_nothing_and_hands_its_mode_on",
    "UpdateRun.test_truncated_body",
}, "the same code on either build")

if __name__ == "__main__":
    cvtest.main()
