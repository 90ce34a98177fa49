"""A wininet.dll lying beside CV_setup.exe (for example in the Downloads folder) must never be
loaded into the installer. Wine prefers its builtin wininet.dll unless told otherwise, so every run
here asks for native-first loading (WINEDLLOVERRIDES wininet=n,b), which reproduces the search
order of Windows for a DLL that is not one of its known DLLs. The planted DLL writes a marker file
when it is loaded.

The control cases come first: with the same override, a probe program that loads wininet.dll with
the default search order (plainly, or through the delay-load thunk the installer uses) does load
the planted copy; restricted to the system folder (or with the fallback for systems without
SetDefaultDllDirectories) it gets the system's copy. Then the installer itself: a real update
request through WinINet, and no marker."""

import os
import shutil
import unittest

import cvtest
from updateserver import UpdateServer

NATIVE_FIRST = {"CV_WINEDLLOVERRIDES_EXTRA": "wininet=n,b"}



class DllPlanting(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("planting")
        shutil.copy2(cvtest.fixture(os.path.join("planted", "wininet.dll")), self.scratch.file("wininet.dll"))
        self.marker = self.scratch.file("wininet.dll.loaded")
        self.probe = self.scratch.file("dllprobe.exe")
        shutil.copy2(cvtest.fixture("dllprobe.exe"), self.probe)

    def tearDown(self):
        self.scratch.cleanup()

    def probe_run(self, mode, env=NATIVE_FIRST):
        if os.path.exists(self.marker):
            os.remove(self.marker)
        code, out = cvtest.run(self.probe, [mode], timeout=60, env=env)
        return code, out.strip(), os.path.exists(self.marker)

    def assert_system_copy(self, out):
        self.assertRegex(out.lower(), r"^loaded: c:\\windows\\system32\\wininet\.dll$")

    def test_probe_controls(self):
        # Without the override Wine takes its builtin DLL whatever lies beside the program.
        code, out, marked = self.probe_run("plain", env=None)
        self.assertEqual(code, 0, out)
        self.assertFalse(marked, "builtin wininet preferred without the override")

        # With it, the default search order finds the planted copy: the case the installer must avoid.
        for mode in ("plain", "delayed"):
            code, out, marked = self.probe_run(mode)
            self.assertEqual(code, 0, out)
            self.assertTrue(marked, mode + ": the planted DLL was not loaded, so this test could not fail")
            self.assertTrue(out.lower().startswith("loaded: z:"), out)

        # Restricted to the system folder, the same loads get the system's copy.
        for mode in ("restricted", "preloaded"):
            code, out, marked = self.probe_run(mode)
            self.assertEqual(code, 0, out)
            self.assertFalse(marked, mode + ": the planted DLL was loaded")
            self.assert_system_copy(out)

    def test_installer_uses_the_system_wininet(self):
        exe = cvtest.copy_installer(self.scratch.path)
        with UpdateServer() as server:
            cvtest.append_loopback_block(exe, server.http_port)
            server.configure(status=404)
            cvtest.clear_logs()
            run = cvtest.InstallerRun(exe, env=NATIVE_FIRST)
            try:
                code = run.wait(120)
            finally:
                run.kill()
            requests = list(server.requests)
        # WinINet was loaded and used (the request reached the server), and it was not the planted copy.
        self.assertEqual(len(requests), 1, cvtest.read_log())
        self.assertFalse(os.path.exists(self.marker), "the installer loaded the planted wininet.dll")
        self.assertGreaterEqual(run.boxes_answered, 1,
                                "the failed update ends in its error box (exit code %s)\n%s" % (code, cvtest.read_log()))


if __name__ == "__main__":
    cvtest.main()
