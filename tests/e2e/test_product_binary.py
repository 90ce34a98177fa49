"""The product as shipped: CV_setup.exe is a 32-bit Unicode GUI program that needs no MinGW DLL,
carries an application manifest (runs as invoker, names Windows 7 to 10/11, per-monitor DPI aware) and imports at load
time only DLLs that Windows always takes from its system folder (its known DLLs). The manifest and
import checks run on the 32-bit product and on the 64-bit build of the same sources."""

import glob
import os
import re
import struct
import unittest
import xml.etree.ElementTree as ET

import cvtest

PRODUCT = os.environ.get("CV_PRODUCT_EXE") or os.path.join(cvtest.SOURCE_DIR, "build", "win32", "CV_setup.exe")
BUILD64 = os.path.join(cvtest.SOURCE_DIR, "build", "win64", "CV_setup.exe")
CVSTAMP = os.path.join(cvtest.SOURCE_DIR, "build", "host-tools", "cvstamp")
# What only the stamper does: placing a block inside a signature. Linked into cvstamp, not the installer.
STAMPING_SOURCE = os.path.join(cvtest.SOURCE_DIR, "src", "portable", "signaturestamp.cpp")

# Windows' known DLLs (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs) present on
# every version from Windows 7 to 11: these are always loaded from the system folder, whatever lies
# beside the program. wininet.dll was one on Windows 7 only; comctl32, version, crypt32, bcrypt and
# wintrust never were on all of them.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll",
    "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll",
    "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
}

SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10/11",
}
RT_MANIFEST = 24


class Image:
    """The headers, data directories and sections of a PE file."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = data = f.read()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0", path
        self.machine = struct.unpack_from("<H", data, pe + 4)[0]
        nsections = struct.unpack_from("<H", data, pe + 6)[0]
        optsize = struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        self.pointer = 4 if self.magic == 0x10B else 8
        self.image_base = struct.unpack_from("<I" if self.pointer == 4 else "<Q", data, opt + (28 if self.pointer == 4 else 24))[0]
        self.dirs = opt + (96 if self.magic == 0x10B else 112)
        self.sections = []
        for i in range(nsections):
            sh = opt + optsize + 40 * i
            vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, sh + 8)
            flags = struct.unpack_from("<I", data, sh + 36)[0]
            self.sections.append((vaddr, max(vsize, rawsize), rawptr, flags))

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.dirs + 8 * index)

    def offset(self, rva):
        for vaddr, size, rawptr, _ in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise ValueError("rva outside sections")

    def executable(self, rva):
        """True when rva lies in a section mapped for execution."""
        return any(vaddr <= rva < vaddr + size and flags & 0x20000000 for vaddr, size, _, flags in self.sections)

    def word(self, offset):
        return struct.unpack_from("<I" if self.pointer == 4 else "<Q", self.data, offset)[0]

    def delay_load_descriptors(self):
        """{dll name: [(function name, slot value)]} of the delay-load descriptors.

        GNU ld leaves the delay-import directory entry empty, so the descriptors are found where
        they lie: 32-byte records with the RVA flag set whose name, name table and address table
        all point into the image. The slot values are the pointers as written to disk, before the
        delay-load helper binds them."""
        found = {}
        for vaddr, size, rawptr, _ in self.sections:
            end = min(rawptr + size, len(self.data)) - 32
            for at in range(rawptr, end, 4):
                attributes, name, module, iat, int_ = struct.unpack_from("<5I", self.data, at)
                if attributes != 1 or not (name and module and iat and int_):
                    continue
                try:
                    dll = self.cstring(name)
                    iat_at, int_at = self.offset(iat), self.offset(int_)
                except (ValueError, UnicodeDecodeError):
                    continue
                if not dll.lower().endswith(".dll"):
                    continue
                slots = []
                while True:
                    entry = self.word(int_at)
                    if entry == 0:
                        break
                    slots.append((self.cstring(entry + 2) if entry < 1 << 31 else "#%d" % (entry & 0xFFFF),
                                  self.word(iat_at)))
                    int_at += self.pointer
                    iat_at += self.pointer
                found[dll.lower()] = slots
        return found

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("ascii")

    def imported_dlls(self):
        """Names of the DLLs in the import directory (loaded with the program), lower-cased."""
        names = []
        rva, size = self.directory(1)
        if rva == 0:
            return names
        at = self.offset(rva)
        while True:
            name_rva = struct.unpack_from("<I", self.data, at + 12)[0]
            if name_rva == 0:
                break
            names.append(self.cstring(name_rva).lower())
            at += 20
        return names

    def resources(self, type_id):
        """{(id, language): bytes} of the resources of a numeric type."""
        root_rva, _ = self.directory(2)
        if root_rva == 0:
            return {}
        base = self.offset(root_rva)

        def entries(table):
            named, ids = struct.unpack_from("<HH", self.data, base + table + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, base + table + 16 + 8 * i)
                yield name, target

        out = {}
        for tname, ttarget in entries(0):
            if tname != type_id or not ttarget & 0x80000000:
                continue
            for iname, itarget in entries(ttarget & 0x7FFFFFFF):
                for lname, ltarget in entries(itarget & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + ltarget)
                    o = self.offset(data_rva)
                    out[(iname, lname)] = self.data[o:o + size]
        return out


def images():
    """The 32-bit product, and the 64-bit build when it was built."""
    found = [("32-bit", PRODUCT)]
    if os.path.exists(BUILD64):
        found.append(("64-bit", BUILD64))
    return found


def stamping_texts():
    """The message texts of the stamper-only source that no other source under src/ has."""
    with open(STAMPING_SOURCE, encoding="utf-8") as f:
        code = "".join(line for line in f if not line.lstrip().startswith(("#", "//")))
    texts = {t for t in re.findall(r'"((?:[^"\\\n]|\\.)*)"', code) if len(t) >= 12 and " " in t}
    for path in glob.glob(os.path.join(cvtest.SOURCE_DIR, "src", "**", "*.*"), recursive=True):
        if os.path.abspath(path) != os.path.abspath(STAMPING_SOURCE) and path.endswith((".cpp", ".h")):
            with open(path, encoding="utf-8", errors="replace") as f:
                shared = f.read()
            texts = {t for t in texts if '"%s"' % t not in shared}
    return sorted(texts)


class ProductBinary(unittest.TestCase):
    def test_is_32bit_gui(self):
        self.assertTrue(os.path.exists(PRODUCT), PRODUCT)
        image = Image(PRODUCT)
        self.assertEqual(image.machine, 0x14C, "i386 machine type")
        self.assertEqual(image.magic, 0x10B, "PE32 optional header")
        self.assertEqual(image.subsystem, 2, "Windows GUI subsystem")

    def test_imports_only_known_dlls_at_load_time(self):
        for label, path in images():
            with self.subTest(label):
                dlls = Image(path).imported_dlls()
                self.assertIn("kernel32.dll", dlls)
                for dll in dlls:
                    self.assertFalse(dll.startswith("lib"), "needs a MinGW runtime DLL: " + dll)
                    self.assertIn(dll, KNOWN_DLLS, "%s imports %s at load time" % (label, dll))
                # WinINet and crypt32 (the publisher check) are still used: their names are in the
                # program for the delay-load helper.
                self.assertIn(b"wininet.dll", Image(path).data.lower())
                self.assertIn(b"crypt32.dll", Image(path).data.lower())

    def test_every_delay_load_slot_points_into_the_code(self):
        # Before its first call a delay-loaded function's slot holds the address of the thunk that
        # loads the DLL. A slot of 0 (as the i386 linker once left every one) crashes the first
        # network call; a slot outside the code is no better.
        with open(os.path.join(cvtest.SOURCE_DIR, "cmake", "delayload.cmake")) as f:
            text = f.read()
        expected = {}
        for dll in ("wininet", "crypt32"):
            listed = text.split("set(CV_DELAY_LOADED_FUNCTIONS_%s" % dll, 1)[1].split(")", 1)[0]
            expected[dll + ".dll"] = set(listed.split())
        for label, path in images():
            with self.subTest(label):
                image = Image(path)
                descriptors = image.delay_load_descriptors()
                self.assertEqual(set(descriptors), set(expected), label)
                for dll, slots in descriptors.items():
                    self.assertEqual({name for name, _ in slots}, expected[dll], "%s %s" % (label, dll))
                    for name, value in slots:
                        self.assertGreater(value, image.image_base, "%s %s!%s slot" % (label, dll, name))
                        self.assertTrue(image.executable(value - image.image_base),
                                        "%s %s!%s slot %#x is outside the code" % (label, dll, name, value))

    def test_carries_none_of_the_stampers_texts(self):
        texts = stamping_texts()
        self.assertGreaterEqual(len(texts), 3, "the stamper's own messages: %s" % texts)
        # Control: the same search finds every one of them in cvstamp, which does link that code.
        self.assertTrue(os.path.exists(CVSTAMP), CVSTAMP)
        with open(CVSTAMP, "rb") as f:
            tool = f.read()
        for text in texts:
            self.assertIn(text.encode("ascii"), tool, "cvstamp")
        for label, path in images():
            with self.subTest(label):
                data = Image(path).data
                for text in texts:
                    self.assertNotIn(text.encode("ascii"), data, "%s carries %r" % (label, text))

    def test_carries_no_kill_point(self):
        # The seam of the kill tests ends the program after a step number taken from the environment;
        # only the test build CV_setup_killpoints.exe has it (the control that the search finds it).
        names = ("CV_TEST_KILL_AFTER_STEP", "CV_TEST_KILL_REPORT")
        seam = os.path.join(os.path.dirname(BUILD64), "CV_setup_killpoints.exe")
        self.assertTrue(os.path.exists(seam), seam)
        for name in names:
            self.assertIn(name.encode("utf-16-le"), Image(seam).data, "control: the test build")
        for label, path in images():
            with self.subTest(label):
                data = Image(path).data
                for name in names:
                    self.assertNotIn(name.encode("utf-16-le"), data, "%s carries %s" % (label, name))
                    self.assertNotIn(name.encode("ascii"), data, "%s carries %s" % (label, name))

    def test_manifest_runs_as_invoker_on_windows_7_to_11(self):
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
              "c": "urn:schemas-microsoft-com:compatibility.v1"}
        for label, path in images():
            with self.subTest(label):
                manifests = Image(path).resources(RT_MANIFEST)
                self.assertEqual([key[0] for key in manifests], [1], "one manifest, id 1, in " + label)
                root = ET.fromstring(next(iter(manifests.values())))
                self.assertEqual(root.tag, "{urn:schemas-microsoft-com:asm.v1}assembly")
                levels = root.findall(".//v3:requestedExecutionLevel", ns)
                self.assertEqual([(e.get("level"), e.get("uiAccess")) for e in levels], [("asInvoker", "false")])
                ids = {e.get("Id").lower() for e in root.findall(".//c:supportedOS", ns)}
                self.assertEqual(ids, set(SUPPORTED_OS))
                # Per-monitor DPI awareness (the splash scales itself), with the older setting as the
                # fallback; no common-controls 6.
                settings = root.findall("v3:application/v3:windowsSettings", ns)
                self.assertEqual(len(settings), 1)
                aware = settings[0].findall("{http://schemas.microsoft.com/SMI/2005/WindowsSettings}dpiAware")
                awareness = settings[0].findall("{http://schemas.microsoft.com/SMI/2016/WindowsSettings}dpiAwareness")
                self.assertEqual([e.text.strip() for e in aware], ["true/pm"])
                self.assertEqual([e.text.split(",")[0].strip() for e in awareness], ["PerMonitorV2"])
                tags = {e.tag.split("}")[-1].lower() for e in root.iter()}
                self.assertFalse(tags & {"dependency", "dependentassembly"}, tags)


if __name__ == "__main__":
    cvtest.main()
