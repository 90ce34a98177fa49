"""The product as shipped: CV_setup.exe is a 32-bit Unicode GUI program that needs no MinGW DLL."""

import os
import struct
import unittest

import cvtest

PRODUCT = os.environ.get("CV_PRODUCT_EXE") or os.path.join(cvtest.SOURCE_DIR, "build", "win32", "CV_setup.exe")


def pe_headers(path):
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    return data, machine, magic, subsystem


def imported_dlls(path):
    """Names of the DLLs in the import directory, lower-cased."""
    data, machine, magic, subsystem = pe_headers(path)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    nsections = struct.unpack_from("<H", data, pe + 6)[0]
    optsize = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    dirs = opt + (96 if magic == 0x10B else 112)
    import_rva = struct.unpack_from("<I", data, dirs + 8)[0]
    sections = []
    for i in range(nsections):
        sh = opt + optsize + 40 * i
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, sh + 8)
        sections.append((vaddr, max(vsize, rawsize), rawptr))

    def offset(rva):
        for vaddr, size, rawptr in sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + rawptr
        raise ValueError("rva outside sections")

    names = []
    at = offset(import_rva)
    while True:
        name_rva = struct.unpack_from("<I", data, at + 12)[0]
        if name_rva == 0:
            break
        o = offset(name_rva)
        names.append(data[o:data.index(b"\0", o)].decode("ascii").lower())
        at += 20
    return names


class ProductBinary(unittest.TestCase):
    def test_is_32bit_gui(self):
        self.assertTrue(os.path.exists(PRODUCT), PRODUCT)
        data, machine, magic, subsystem = pe_headers(PRODUCT)
        self.assertEqual(machine, 0x14C, "i386 machine type")
        self.assertEqual(magic, 0x10B, "PE32 optional header")
        self.assertEqual(subsystem, 2, "Windows GUI subsystem")

    def test_imports_only_system_dlls(self):
        dlls = imported_dlls(PRODUCT)
        self.assertIn("kernel32.dll", dlls)
        for dll in dlls:
            self.assertFalse(dll.startswith("lib"), "needs a MinGW runtime DLL: " + dll)


if __name__ == "__main__":
    cvtest.main()
