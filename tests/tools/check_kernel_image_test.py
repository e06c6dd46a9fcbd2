#!/usr/bin/python3
"""The kernel-image check over images crafted here: a minimal driver image that passes, and
the same image with one fault each, which the check must refuse with its reason.

    check_kernel_image_test.py PATH-TO/check-kernel-image.py
"""
import importlib.util
import os
import struct
import subprocess
import sys
import tempfile
import unittest

import pefile

CHECK = None  # the tool under test, from the command line
tool = None  # the same, loaded as a module

TEXT = 0x60000020  # code, read, execute
DATA = 0xC0000040  # initialised data, read, write
RELOC = 0x42000040  # initialised data, discardable, read
LFANEW = 0x80
CHECKSUM_OFFSET = LFANEW + 4 + 20 + 64


def image(file_characteristics=0x0022, dll_characteristics=0x0160, section_alignment=0x1000,
          file_alignment=0x200, text=TEXT, data_va=0x2000, text_raw=0x200, relocations=True,
          exports=False, iat_in_text=False, checksum_delta=0, subsystem=1):
    """A 64-bit native image of .text (one `ret`), .data and .reloc, checksum set."""
    sections = [(b".text", text, 0x1000, text_raw), (b".data", DATA, data_va, 0x400),
                (b".reloc", RELOC, 0x3000, 0x600)]
    directories = [(0, 0)] * 16
    if exports:
        directories[0] = (0x2000, 0x28)
    if relocations:
        directories[5] = (0x3000, 12)
    directories[12] = (0x1010, 8) if iat_in_text else (0x2000, 8)

    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", LFANEW)
    dos += bytes(LFANEW - len(dos))
    coff = struct.pack("<HHIIIHH", 0x8664, len(sections), 0, 0, 0, 240, file_characteristics)
    optional = struct.pack("<HBBIIIII", 0x20B, 2, 40, 0x200, 0x400, 0, 0x1000, 0x1000)
    optional += struct.pack("<QII", 0x10000, section_alignment, file_alignment)
    optional += struct.pack("<HHHHHH", 6, 1, 0, 0, 6, 1)
    optional += struct.pack("<IIIIHH", 0, 0x4000, 0x200, 0, subsystem, dll_characteristics)
    optional += struct.pack("<QQQQII", 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    optional += b"".join(struct.pack("<II", *d) for d in directories)
    assert len(optional) == 240
    headers = dos + b"PE\0\0" + coff + optional
    for name, characteristics, va, raw in sections:
        headers += struct.pack("<8sIIIIIIHHI", name, 0x200, va, 0x200, raw, 0, 0, 0, 0,
                               characteristics)
    body = bytearray(headers + bytes(0x200 - len(headers)))
    body += b"\xC3" + bytes(0x1FF)  # .text
    body += bytes(0x200)  # .data
    # .reloc: one block for the page at 0x1000 with one 64-bit fix-up and one padding entry.
    body += struct.pack("<IIHH", 0x1000, 12, (10 << 12) | 0x10, 0) + bytes(0x200 - 12)
    checksum = pefile.PE(data=bytes(body), fast_load=True).generate_checksum()
    struct.pack_into("<I", body, CHECKSUM_OFFSET, (checksum + checksum_delta) & 0xFFFFFFFF)
    return bytes(body)


class KernelImageCheckTest(unittest.TestCase):
    def run_check(self, data):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "X.sys")
            with open(path, "wb") as f:
                f.write(data)
            done = subprocess.run([sys.executable, CHECK, path], capture_output=True, text=True)
        return done.returncode, done.stderr

    def test_a_sound_driver_image_passes(self):
        code, errors = self.run_check(image())
        self.assertEqual((code, errors), (0, ""))

    def test_a_refused_image_fails_the_command_with_every_reason(self):
        code, errors = self.run_check(image(text=TEXT | 0x80000000, relocations=False))
        self.assertEqual(code, 1)
        self.assertIn("refused: section .text is writable and executable", errors)
        self.assertIn("refused: no base-relocation directory", errors)

    def test_each_fault_is_refused_with_its_reason(self):
        faults = {
            "writable and executable": image(text=TEXT | 0x80000000),
            "no base-relocation directory": image(relocations=False),
            "PE checksum": image(checksum_delta=1),
            "not NX_COMPAT": image(dll_characteristics=0x0040),
            "not DYNAMIC_BASE": image(dll_characteristics=0x0100),
            "not page-aligned": image(data_va=0x2800),
            "section alignment 0x200": image(section_alignment=0x200),
            "not aligned": image(text_raw=0x210),
            "marked as a DLL": image(file_characteristics=0x2022),
            "carries an export table": image(exports=True),
            "import address table in executable section .text": image(iat_in_text=True),
            "not native": image(subsystem=2),
        }
        faults["no base-relocation directory (stripped)"] = image(file_characteristics=0x0023)
        for reason, data in faults.items():
            with self.subTest(reason):
                found = tool.problems(pefile.PE(data=data, fast_load=True))
                self.assertEqual(len(found), 1, found)
                self.assertIn(reason.replace(" (stripped)", ""), found[0])

    def test_a_file_that_is_no_image_cannot_be_read(self):
        code, errors = self.run_check(b"MZ" + bytes(100))
        self.assertEqual(code, 2)
        self.assertIn("cannot be read", errors)


if __name__ == "__main__":
    CHECK = sys.argv.pop(1)
    loader_info = importlib.util.spec_from_file_location("check_kernel_image", CHECK)
    tool = importlib.util.module_from_spec(loader_info)
    loader_info.loader.exec_module(tool)
    unittest.main()
