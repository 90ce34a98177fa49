"""The real CV_setup.exe --installTSP / --uninstallTSP under Wine (a 64-bit prefix, as 64-bit
Windows): the 64-bit provider DLL in the real system folder (system32; a 32-bit installer reaches
it through the Sysnative alias), loadable by a 64-bit program, the telephony provider list in the
64-bit registry view, where the telephony service reads it; removal also takes what an earlier
32-bit installer left in syswow64 and the 32-bit view. Also the log lines, no update request and no
stop by a running instance. The prefix's lists and provider files are saved and restored."""

import os
import shutil
import struct
import sys
import time
import unittest

import cvtest
from updateserver import UpdateServer

KEY = r"HKLM\SOFTWARE\MICROSOFT\WINDOWS\CURRENTVERSION\TELEPHONY\PROVIDERS"
INSTALLER = cvtest.built("CV_setup.exe")


def pe_machine(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", path
    return struct.unpack_from("<H", data, pe + 4)[0]


IS_64 = pe_machine(INSTALLER) == 0x8664
WINDOWS = os.path.join(cvtest.PREFIX, "drive_c", "windows")
SYSTEM_DIR = os.path.join(WINDOWS, "system32")
# The folder name in the log: the one the installer really used.
LOGGED_DIR = "C:/windows/system32/" if IS_64 else "C:/windows/Sysnative/"
VIEW = "/reg:64"
PROVIDER_BUILD = cvtest.built(os.path.join("provider", "CV_TSP64.tsp"))
TSP = os.path.join(SYSTEM_DIR, "CV_TSP.tsp")
OLD = TSP + ".OLD"
# Where the 32-bit installers before this one put the provider on 64-bit Windows.
EARLY_TSP = os.path.join(WINDOWS, "syswow64", "CV_TSP.tsp")
EARLY_OLD = EARLY_TSP + ".OLD"
FILES = (TSP, OLD, EARLY_TSP, EARLY_OLD)


MISSING_KEY = "Unable to find the specified registry key"


def reg(*args, view=VIEW):
    # Wine's reg.exe has been seen to fail now and then under load: a failure that is no answer
    # (a missing key is one) is asked again.
    for attempt in range(3):
        code, out = cvtest.run("reg", list(args) + [view], timeout=60, cwd=cvtest.BUILD_DIR)
        if code == 0 or MISSING_KEY in out:
            break
        sys.stderr.write("reg %s (%s) gave %s: %s\n" % (" ".join(args[:2]), view, code, out.strip()))
        time.sleep(0.5)
    return code, out


def provider_list(view=VIEW):
    """{value name: int or text} of the list key; None when the key is missing."""
    code, out = reg("query", KEY, view=view)
    if code != 0:
        return None
    values = {}
    for line in out.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) == 3 and parts[1] in ("REG_DWORD", "REG_SZ"):
            values[parts[0]] = int(parts[2], 16) if parts[1] == "REG_DWORD" else parts[2]
    return values


def seed(values, view=VIEW):
    reg("delete", KEY, "/f", view=view)
    code, out = reg("add", KEY, "/f", view=view)
    assert code == 0, out
    for name, value in values.items():
        if isinstance(value, int):
            code, out = reg("add", KEY, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f", view=view)
        else:
            code, out = reg("add", KEY, "/v", name, "/t", "REG_SZ", "/d", value, "/f", view=view)
        assert code == 0, out



class ProviderInstallation(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("tsp")
        cvtest.clear_logs()
        # Save what the prefix has: the list keys of both views and the provider files.
        self.saved_reg = {}
        for view in ("/reg:64", "/reg:32"):
            path = self.scratch.file("providers%s.reg" % view[-2:])
            code, _ = reg("export", KEY, cvtest.to_windows(path), "/y", view=view)
            self.saved_reg[view] = path if code == 0 else None
        self.saved_files = {}
        for p in FILES:
            if os.path.exists(p):
                with open(p, "rb") as f:
                    self.saved_files[p] = f.read()
                os.remove(p)
        self.server = UpdateServer()
        self.server.start()
        self.exe = cvtest.copy_installer(self.scratch.path)
        cvtest.append_loopback_block(self.exe, self.server.http_port)
        self.release = self.scratch.file("release-holder")
        self.holder = None

    def tearDown(self):
        open(self.release, "w").close()
        if self.holder:
            try:
                self.holder.wait(30)
            except Exception:
                self.holder.kill()
        self.server.stop()
        for p in FILES:
            if os.path.exists(p):
                os.remove(p)
        for p, data in self.saved_files.items():
            with open(p, "wb") as f:
                f.write(data)
        for view, path in self.saved_reg.items():
            reg("delete", KEY, "/f", view=view)
            if path:
                reg("import", cvtest.to_windows(path), view=view)
        self.scratch.cleanup()

    def hold_instance(self):
        self.holder = cvtest.Run(cvtest.fixture("instanceholder.exe"), [cvtest.to_windows(self.release)])
        self.assertEqual(self.holder.proc.stdout.readline().strip(), b"holding")

    def run_installer(self, option):
        cvtest.clear_logs()
        code, out = cvtest.run(self.exe, [option], timeout=120)
        log = cvtest.read_log()
        self.assertTrue(log, "no log written: " + out)
        return code, log

    def assert_run_ends_after_provider_work(self, log, option, result_line):
        msgs = cvtest.messages(log)
        texts = [m for _, _, m in msgs]
        self.assertIn("Parsing commandline: >%s<" % option, texts)
        result = [(lvl, fn) for lvl, fn, m in msgs if m == result_line]
        self.assertEqual(result, [("debug   - ", cvtest.FN_PARSE_COMMAND_LINE)], log)
        stop = [(lvl, fn) for lvl, fn, m in msgs
                if m == "Command line parsing caused the app to stop! (This could be desired!)"]
        self.assertEqual(stop, [("FATAL   - ", cvtest.FN_INIT_INSTANCE)], log)
        # Start-up ends there: no instance check, no deployment block, no update.
        self.assertNotIn("Searching for previous instance", texts)
        after = texts[texts.index(result_line) + 1:]
        self.assertEqual(after[0], "Command line parsing caused the app to stop! (This could be desired!)")
        self.assertTrue(all(fn in (cvtest.FN_INIT_INSTANCE, cvtest.FN_EXIT_INSTANCE)
                            for _, fn, m in msgs[texts.index(result_line) + 1:]), after)
        self.assertEqual(self.server.requests, [])
        self.assertEqual([n for n in os.listdir(self.scratch.path) if n.endswith(".deployment")], [])

    def test_install_remove_install_with_a_running_instance(self):
        seed({"ProviderFileName0": "unimdm.tsp", "ProviderID0": 1, "ProviderFileName1": "kmddsp.tsp",
              "ProviderID1": 2, "NumProviders": 2, "NextProviderID": 5})
        self.hold_instance()

        # Installation.
        code, log = self.run_installer("--installTSP")
        self.assertEqual(code, 0, log)
        self.assert_run_ends_after_provider_work(log, "--installTSP", "TSP was installed!")
        self.assertTrue(os.path.exists(TSP), TSP)
        with open(TSP, "rb") as f, open(PROVIDER_BUILD, "rb") as g:
            self.assertTrue(f.read() == g.read(), "the 64-bit build, byte for byte")
        self.assertEqual(pe_machine(TSP), 0x8664)
        self.assertEqual(provider_list(), {"ProviderFileName0": "unimdm.tsp", "ProviderID0": 1,
                                           "ProviderFileName1": "kmddsp.tsp", "ProviderID1": 2,
                                           "ProviderFileName2": "CV_TSP.tsp", "ProviderID2": 5,
                                           "NumProviders": 3, "NextProviderID": 6})
        texts = [m for _, _, m in cvtest.messages(log)]
        self.assertIn("Path to TSP files: " + LOGGED_DIR, texts)
        self.assertIn("Extracted %sCV_TSP.tsp from resource" % LOGGED_DIR, texts)
        self.assertIn("Setting ProviderID2 to 5", texts)
        self.assertIsNone(provider_list("/reg:32"), "nothing in the 32-bit view")
        self.assertFalse(os.path.exists(EARLY_TSP))

        # The installed file loads in a 64-bit program (as the telephony service is one).
        if IS_64:
            code, out = cvtest.run(cvtest.fixture("tspprobe.exe"), [r"C:\windows\system32\CV_TSP.tsp"], timeout=60)
            self.assertEqual(code, 0, out)
            self.assertIn("lines=0 phones=0 pointer=64", out)

        # Removal: out of the list, file moved aside.
        code, log = self.run_installer("--uninstallTSP")
        self.assertEqual(code, 0, log)
        self.assert_run_ends_after_provider_work(log, "--uninstallTSP", "TSP was uninstalled!")
        self.assertFalse(os.path.exists(TSP))
        self.assertTrue(os.path.exists(OLD))
        self.assertEqual(provider_list(), {"ProviderFileName0": "unimdm.tsp", "ProviderID0": 1,
                                           "ProviderFileName1": "kmddsp.tsp", "ProviderID1": 2,
                                           "NumProviders": 2, "NextProviderID": 6})
        texts = [m for _, _, m in cvtest.messages(log)]
        self.assertIn("Found TSP in list at position: ProviderFileName2", texts)
        self.assertIn("Renamed {0}CV_TSP.tsp to {0}CV_TSP.tsp.OLD".format(LOGGED_DIR), texts)

        # Installation again: the .OLD of the removal goes, the provider gets a fresh ID.
        code, log = self.run_installer("--installTSP")
        self.assertEqual(code, 0, log)
        self.assert_run_ends_after_provider_work(log, "--installTSP", "TSP was installed!")
        self.assertTrue(os.path.exists(TSP))
        self.assertFalse(os.path.exists(OLD))
        self.assertIn("Deleted CV_TSP.tsp.OLD at " + LOGGED_DIR, [m for _, _, m in cvtest.messages(log)])
        self.assertEqual(provider_list()["ProviderID2"], 6)
        self.assertEqual(provider_list()["NextProviderID"], 7)
        self.assertTrue(self.holder.running(), "the running instance was left alone")

    def test_install_that_cannot_write_its_file_ends_with_a_failure_code(self):
        seed({"NumProviders": 0, "NextProviderID": 1})
        # Folders with content under both names: nothing can be deleted, renamed or written there.
        for p in (TSP, OLD):
            os.makedirs(os.path.join(p, "in-the-way"))
        try:
            code, log = self.run_installer("--installTSP")
            self.assertEqual(code, 40, log)
            self.assertIn(("ERROR   - ", cvtest.FN_PARSE_COMMAND_LINE, "TSP was NOT installed!"), cvtest.messages(log))
            self.assertEqual(provider_list(), {"NumProviders": 0, "NextProviderID": 1})
        finally:
            for p in (TSP, OLD):
                shutil.rmtree(p, ignore_errors=True)
        # Control: the same start with the way clear installs and ends with 0.
        code, log = self.run_installer("--installTSP")
        self.assertEqual(code, 0, log)
        self.assertTrue(os.path.isfile(TSP))

    def test_removal_takes_the_provider_of_an_earlier_32bit_installer(self):
        # An earlier version installed the 32-bit build into syswow64 and the 32-bit view.
        seed({"ProviderFileName0": "unimdm.tsp", "ProviderID0": 1, "NumProviders": 1, "NextProviderID": 2})
        seed({"ProviderFileName0": "CV_TSP.tsp", "ProviderID0": 1, "ProviderFileName1": "kmddsp.tsp",
              "ProviderID1": 2, "NumProviders": 2, "NextProviderID": 3}, view="/reg:32")
        with open(PROVIDER_BUILD.replace("CV_TSP64", "CV_TSP32"), "rb") as f, open(EARLY_TSP, "wb") as g:
            g.write(f.read())

        code, log = self.run_installer("--uninstallTSP")
        self.assertEqual(code, 0, log)
        self.assert_run_ends_after_provider_work(log, "--uninstallTSP", "TSP was uninstalled!")
        self.assertEqual(provider_list("/reg:32"), {"ProviderFileName0": "kmddsp.tsp", "ProviderID0": 2,
                                                    "NumProviders": 1, "NextProviderID": 3})
        self.assertEqual(provider_list(), {"ProviderFileName0": "unimdm.tsp", "ProviderID0": 1,
                                           "NumProviders": 1, "NextProviderID": 2})
        self.assertFalse(os.path.exists(EARLY_TSP))
        self.assertTrue(os.path.exists(EARLY_OLD))
        texts = [m for _, _, m in cvtest.messages(log)]
        self.assertIn("Path to TSP files: C:/windows/SysWOW64/", texts)
        self.assertIn("Renamed C:/windows/SysWOW64/CV_TSP.tsp to C:/windows/SysWOW64/CV_TSP.tsp.OLD", texts)

    def test_windir_of_the_environment_is_not_followed(self):
        # WINDIR names a scratch folder with system32, Sysnative and SysWOW64 in it, as a user can
        # make the environment of an elevated process name one (HKCU\Environment\windir).
        seed({"NumProviders": 0, "NextProviderID": 1})
        fake = self.scratch.file("windows")
        for sub in ("system32", "Sysnative", "SysWOW64"):
            os.makedirs(os.path.join(fake, sub))
        script = self.scratch.file("run.bat")
        with open(script, "w") as f:
            f.write("@set WINDIR=%s\r\n@echo WINDIR=%%WINDIR%%\r\n@\"%s\" --installTSP\r\n"
                    % (cvtest.to_windows(fake), cvtest.to_windows(self.exe)))
        cvtest.clear_logs()
        code, out = cvtest.run("cmd", ["/c", cvtest.to_windows(script)], timeout=120, cwd=self.scratch.path)
        # Control: the installer was started with WINDIR pointing at the scratch folder.
        self.assertIn("WINDIR=" + cvtest.to_windows(fake), out)
        log = cvtest.read_log()
        self.assert_run_ends_after_provider_work(log, "--installTSP", "TSP was installed!")
        written = [os.path.join(d, n) for d, _, names in os.walk(fake) for n in names]
        self.assertEqual(written, [], "nothing is written where WINDIR points")
        self.assertTrue(os.path.exists(TSP), "the provider is in the real system folder")
        texts = [m for _, _, m in cvtest.messages(log)]
        self.assertIn("Path to TSP files: " + LOGGED_DIR, texts)
        self.assertEqual(provider_list(), {"ProviderFileName0": "CV_TSP.tsp", "ProviderID0": 1,
                                           "NumProviders": 1, "NextProviderID": 2})

    def test_options_are_case_sensitive_and_restart_wins(self):
        seed({"NumProviders": 0, "NextProviderID": 1})
        # These runs go on as normal runs: an update request fails at once, its box is answered.
        self.server.configure(status=404)
        for args in (["--INSTALLTSP"], ["--restart", "--installTSP"]):
            option = " ".join(args)
            cvtest.clear_logs()
            run = cvtest.InstallerRun(self.exe, args)
            try:
                run.wait(120)
            finally:
                run.kill()
            texts = [m for _, _, m in cvtest.messages(cvtest.read_log())]
            self.assertIn("Parsing commandline: >%s<" % option, texts)
            self.assertNotIn("TSP was installed!", texts)
            self.assertFalse(os.path.exists(TSP), option)
            self.assertEqual(provider_list(), {"NumProviders": 0, "NextProviderID": 1}, option)


if __name__ == "__main__":
    cvtest.main()
