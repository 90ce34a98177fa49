"""The deployment block end to end: the cvstamp host tool (refusals, replacement, --show), the
marker kept out of the built installers, and stamped and unstamped copies of CV_setup.exe run
under Wine, checked through their .deployment file, their log and the browser-emulation value."""

import os
import re
import struct
import unittest

import cvtest
from cvtest import MARKER, SAMPLE, show, stamp

CONFIG_KEYS = [  # key of the .deployment file, key word of the block, in the order of the writes
    ("DEPLOYMENT_SERVER_HOST", "HOST"),
    ("DEPLOYMENT_SERVER_PROTOCOL", "PROTOCOL"),
    ("DEPLOYMENT_SERVER_PORT", "PORT"),
    ("DEPLOYMENT_SERVER_URL_CLIENT", "CLIENT"),
    ("DEPLOYMENT_SERVER_URL_PORTAL", "PORTAL"),
    ("DEPLOYMENT_SERVER_URL_EVENTS", "EVENTS"),
    ("DEPLOYMENT_PRODUCT", "PRODUCT"),
    ("DEPLOYMENT_LOGLEVEL", "LOGLEVEL"),
]
IE_KEY = r"HKLM\Software\Microsoft\Internet Explorer"
EMULATION_KEY = r"HKCU\Software\Microsoft\Internet Explorer\MAIN\FeatureControl\FEATURE_BROWSER_EMULATION"

def block_bytes(values=cvtest.SAMPLE):
    return (MARKER + "".join("ADDED_SERVERPARAMETER_%s<%s>" % (w, v) for _, w, v in values) + "\r\n").encode("cp1252")


def as_reader_sees(data):
    """The installer reads its file with zero bytes as line feeds, through code page 1252."""
    return data.replace(b"\0", b"\n").decode("cp1252", "replace")


def is_32bit(path):
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, pe + 4)[0] == 0x14C


def reg(*args):
    code, out = cvtest.run("reg", list(args), timeout=60, cwd=cvtest.BUILD_DIR)
    return code, out


def reg_query_value(key, name, view):
    code, out = reg("query", key, "/v", name, view)
    if code != 0:
        return None
    m = re.search(r"^\s*%s\s+(REG_\w+)\s+(.*?)\s*$" % re.escape(name), out, re.M)
    return (m.group(1), m.group(2)) if m else None


class Stamper(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("stamp")
        self.src = cvtest.copy_installer(self.scratch.path)
        with open(self.src, "rb") as f:
            self.image = f.read()

    def tearDown(self):
        self.scratch.cleanup()

    def test_stamp_appends_exactly_the_block(self):
        out = self.scratch.file("out.exe")
        r = stamp(self.src, out)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(out, "rb") as f:
            data = f.read()
        self.assertEqual(data, self.image + block_bytes())
        self.assertEqual(len(block_bytes()), 408)
        self.assertTrue(os.access(out, os.X_OK) == os.access(self.src, os.X_OK))
        s = show(out)
        self.assertEqual(s.returncode, 0, s.stderr)
        text = s.stdout.decode("utf-8")
        for _, word, val in SAMPLE:
            self.assertIn("\n%s=%s\n" % (word, val), "\n" + text)

    def test_restamping_replaces_the_block(self):
        out = self.scratch.file("out.exe")
        self.assertEqual(stamp(self.src, out).returncode, 0)
        other = [(o, w, "x" + v) for o, w, v in SAMPLE]
        r = stamp(out, out, other)  # in place
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn(b"replaced", r.stdout)
        with open(out, "rb") as f:
            data = f.read()
        self.assertEqual(data, self.image + block_bytes(other))
        self.assertEqual(data.count(MARKER.encode()), 1)
        # A file that a naive appender stamped twice is cut back to its image as well.
        with open(out, "ab") as f:
            f.write(block_bytes())
        r = stamp(out, self.scratch.file("again.exe"))
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.scratch.file("again.exe"), "rb") as f:
            self.assertEqual(f.read(), self.image + block_bytes())

    def test_refusals(self):
        bad = {
            "--host": "a>b",
            "--product": "tab\there",
            "--portal": "line\nbreak",
            "--events": "del\x7f",
            "--client": "c1\u0085",
            "--loglevel": "\u2192",  # not in code page 1252
            "--port": "\u65e5\u672c",
        }
        for opt, val in bad.items():
            values = [(o, w, val if o == opt else v) for o, w, v in SAMPLE]
            out = self.scratch.file("bad.exe")
            r = stamp(self.src, out, values)
            self.assertNotEqual(r.returncode, 0, (opt, val))
            self.assertIn(opt.encode(), r.stderr, r.stderr)
            self.assertIn(b"refusing", r.stderr)
            self.assertFalse(os.path.exists(out), "nothing written on refusal")
        # The entry prefix inside a value would be read as an entry.
        values = [(o, w, "ADDED_SERVERPARAMETER_PORT<1" if o == "--host" else v) for o, w, v in SAMPLE]
        self.assertNotEqual(stamp(self.src, self.scratch.file("bad.exe"), values).returncode, 0)
        # Missing option, unknown option, not an executable.
        self.assertNotEqual(stamp(self.src, self.scratch.file("bad.exe"), SAMPLE[:-1]).returncode, 0)
        self.assertNotEqual(stamp(self.src, self.scratch.file("bad.exe"), extra=["--colour", "x"]).returncode, 0)
        with open(self.scratch.file("text.txt"), "wb") as f:
            f.write(b"hello")
        self.assertNotEqual(stamp(self.scratch.file("text.txt"), self.scratch.file("bad.exe")).returncode, 0)
        # A marker followed by something that is not a block: the file is not cut.
        with open(self.scratch.file("odd.exe"), "wb") as f:
            f.write(self.image + MARKER.encode() + b"garbage" + self.image[:100])
        r = stamp(self.scratch.file("odd.exe"), self.scratch.file("bad.exe"))
        self.assertNotEqual(r.returncode, 0)
        self.assertFalse(os.path.exists(self.scratch.file("bad.exe")))
        # Values that can stand: empty, blanks, "<", code page 1252 letters.
        values = [(o, w, {"--host": "", "--product": " Br\u00e4nd\u20acl <x> "[:-2]}.get(o, v)) for o, w, v in SAMPLE]
        r = stamp(self.src, self.scratch.file("ok.exe"), values)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.scratch.file("ok.exe"), "rb") as f:
            self.assertTrue(f.read().endswith(b"ADDED_SERVERPARAMETER_HOST<>ADDED_SERVERPARAMETER_PORT<8443>"
                                              b"ADDED_SERVERPARAMETER_PORTAL</vazu/portal/req?loadPortal>"
                                              b"ADDED_SERVERPARAMETER_CLIENT</vazu/portal/req?loadPortal>"
                                              b"ADDED_SERVERPARAMETER_EVENTS</vazu/webportlets/portal/eventViewer>"
                                              b"ADDED_SERVERPARAMETER_PRODUCT< Br\xe4nd\x80l <x>"
                                              b"ADDED_SERVERPARAMETER_LOGLEVEL<3>\r\n"))

    def test_show_without_block(self):
        r = show(self.src)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"no deployment block", r.stderr)


class MarkerNotInInstaller(unittest.TestCase):
    def test_32_and_64_bit_builds(self):
        candidates = {cvtest.built("CV_setup.exe")}
        product = os.environ.get("CV_PRODUCT_EXE") or os.path.join(cvtest.SOURCE_DIR, "build", "win32", "CV_setup.exe")
        if os.path.exists(product):
            candidates.add(product)
        bits = set()
        for exe in candidates:
            with open(exe, "rb") as f:
                data = f.read()
            bits.add(32 if is_32bit(exe) else 64)
            self.assertNotIn(MARKER.encode("ascii"), data, exe)
            self.assertNotIn(MARKER.encode("utf-16-le"), data, exe)
            self.assertNotIn(MARKER, as_reader_sees(data), exe)
            # The pieces are there: the reader is built in.
            self.assertIn("ADDED_SERVERPARAMETERS".encode("utf-16-le"), data, exe)
        self.assertIn(64 if not is_32bit(cvtest.built("CV_setup.exe")) else 32, bits)
        if os.environ.get("CV_PRODUCT_EXE"):
            self.assertIn(32, bits, "the 32-bit product was checked")


class StampedRun(unittest.TestCase):
    def setUp(self):
        self.scratch = cvtest.ScratchDir("deploy")
        self.view = "/reg:32" if is_32bit(cvtest.built("CV_setup.exe")) else "/reg:64"

    def tearDown(self):
        self.scratch.cleanup()

    def run_installer(self, exe, log_name):
        log_path = os.path.join(cvtest.log_dir(), log_name)
        if os.path.exists(log_path):
            os.remove(log_path)
        run = cvtest.InstallerRun(exe)
        run.wait(180)
        return cvtest.read_log(log_name)

    def deployment_lines(self, path):
        with open(path, "rb") as f:
            return f.read().decode("cp1252").split("\r\n")

    def test_stamped_copy_writes_its_values(self):
        exe = self.scratch.file("CV_setup.exe")
        # No server listens on port 1 of the loopback: the later update stage fails at once.
        values = [(o, w, {"--host": "127.0.0.1", "--port": "1", "--protocol": "http",
                          "--product": "Br\u00e4ndel Test"}.get(o, v)) for o, w, v in SAMPLE]
        r = stamp(cvtest.built("CV_setup.exe"), exe, values)
        self.assertEqual(r.returncode, 0, r.stderr)
        expect = {w: v for _, w, v in values}

        old = reg_query_value(IE_KEY, "Version", self.view)
        reg("delete", EMULATION_KEY, "/v", "CV_setup.exe", "/f", self.view)
        try:
            self.assertEqual(reg("add", IE_KEY, "/v", "Version", "/t", "REG_SZ", "/d", "11.0.9600.16384", "/f",
                                 self.view)[0], 0)
            log = self.run_installer(exe, "CV.log")
            emulation = reg_query_value(EMULATION_KEY, "CV_setup.exe", self.view)
        finally:
            if old is not None:
                reg("add", IE_KEY, "/v", "Version", "/t", "REG_SZ", "/d", old[1], "/f", self.view)
            reg("delete", EMULATION_KEY, "/v", "CV_setup.exe", "/f", self.view)

        deployment = self.scratch.file("CV.deployment")
        self.assertTrue(os.path.exists(deployment), log)
        lines = self.deployment_lines(deployment)
        self.assertEqual(lines[0], "[common]")
        self.assertEqual(lines[1:9], ["%s=%s" % (k, expect[w]) for k, w in CONFIG_KEYS])
        self.assertEqual(lines[9:], [""])

        msgs = [m for _, _, m in cvtest.messages(log)]
        self.assertIn("Reading deployment", msgs, log)
        self.assertIn("Writing deployment", msgs)
        self.assertLess(msgs.index("Reading deployment"), msgs.index("Writing deployment"))
        self.assertIn("Deployment is: " + block_bytes(values).decode("cp1252"), log)
        win_path = cvtest.to_windows(deployment).replace("\\", "/")
        for k, w in CONFIG_KEYS:
            self.assertIn("Writing parameter to: %s [common] %s = >%s<" % (win_path, k, expect[w]), msgs)
        self.assertIn("Installed version of IE: 11.0.9600.16384", msgs)
        self.assertEqual(emulation, ("REG_DWORD", "0x2af8"), "11000 for CV_setup.exe under the emulation key")

    def test_unstamped_copy_writes_empty_keys(self):
        exe = cvtest.copy_installer(self.scratch.path, "plainCV_setup.exe")
        with open(self.scratch.file("plainCV.deployment"), "wb") as f:
            f.write(b"[common]\r\nDEPLOYMENT_SERVER_HOST=stale\r\n")
        log = self.run_installer(exe, "plainCV.log")
        lines = self.deployment_lines(self.scratch.file("plainCV.deployment"))
        self.assertEqual(lines, ["[common]"] + ["%s=" % k for k, _ in CONFIG_KEYS] + [""], log)
        self.assertIn(("FATAL   - ", cvtest.FN_INIT_INSTANCE, "This executable has no deployment attached!"),
                      cvtest.messages(log))


if __name__ == "__main__":
    cvtest.main()
