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


class ProductBinary(unittest.TestCase):
    def test_is_32bit_gui(self):
        self.assertTrue(os.path.exists(PRODUCT), PRODUCT)
        data, machine, magic, subsystem = pe_headers(PRODUCT)
        self.assertEqual(machine, 0x14C, "i386 machine type")
        self.assertEqual(magic, 0x10B, "PE32 optional header")
        self.assertEqual(subsystem, 2, "Windows GUI subsystem")

    def test_needs_no_mingw_runtime(self):
        data, *_ = pe_headers(PRODUCT)
        lowered = data.lower()
        for dll in (b"libstdc++-6.dll", b"libgcc_s_dw2-1.dll", b"libgcc_s_sjlj-1.dll", b"libwinpthread-1.dll"):
            self.assertNotIn(dll, lowered, dll)


if __name__ == "__main__":
    cvtest.main()
