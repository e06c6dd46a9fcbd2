#!/usr/bin/python3
"""Checks that a file is a 64-bit kernel driver image that Windows loads, also with memory
integrity (hypervisor-protected code integrity) on.

    check-kernel-image.py IMAGE...

Refuses an image that is not a native-subsystem x64 image; one marked as a DLL or carrying an
export table; one without a base-relocation directory (the kernel always loads a driver at an
address of its choosing); one without NX_COMPAT or DYNAMIC_BASE; one with a section that is both
writable and executable, or sections that are not page-aligned in memory or not aligned in the
file; one whose import address table lies in an executable section; and one whose PE checksum
is not the file's (the kernel checks a driver's checksum).

Prints one line per refusal and exits 1 when any image is refused, 2 when one cannot be read.
Reads the image with Debian's python3-pefile.
"""
import sys

import pefile

PAGE_SIZE = 0x1000
MACHINE_AMD64 = 0x8664
SUBSYSTEM_NATIVE = 1
FILE_RELOCS_STRIPPED = 0x0001
FILE_DLL = 0x2000
DLLCHAR_DYNAMIC_BASE = 0x0040
DLLCHAR_NX_COMPAT = 0x0100
SCN_CNT_CODE = 0x00000020
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
DIR_EXPORT = 0
DIR_BASERELOC = 5
DIR_IAT = 12


def section_name(section):
    return section.Name.rstrip(b"\0").decode("ascii", "replace") or "(unnamed)"


def executable(section):
    return bool(section.Characteristics & (SCN_MEM_EXECUTE | SCN_CNT_CODE))


def problems(pe):
    """The reasons to refuse the parsed image `pe`; empty when it passes."""
    found = []
    header = pe.FILE_HEADER
    optional = pe.OPTIONAL_HEADER
    if header.Machine != MACHINE_AMD64 or optional.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
        found.append("not a 64-bit (x64) image")
    if optional.Subsystem != SUBSYSTEM_NATIVE:
        found.append("subsystem %d, not native" % optional.Subsystem)
    if header.Characteristics & FILE_DLL:
        found.append("marked as a DLL")
    directories = optional.DATA_DIRECTORY
    if len(directories) > DIR_EXPORT and directories[DIR_EXPORT].Size:
        found.append("carries an export table")
    if (len(directories) <= DIR_BASERELOC or not directories[DIR_BASERELOC].Size
            or not directories[DIR_BASERELOC].VirtualAddress
            or header.Characteristics & FILE_RELOCS_STRIPPED):
        found.append("no base-relocation directory")
    if not optional.DllCharacteristics & DLLCHAR_NX_COMPAT:
        found.append("not NX_COMPAT")
    if not optional.DllCharacteristics & DLLCHAR_DYNAMIC_BASE:
        found.append("not DYNAMIC_BASE")

    # Memory integrity maps each section with one protection per page: a page is never both
    # writable and executable, and a section never shares a page with another.
    if optional.SectionAlignment != PAGE_SIZE:
        found.append("section alignment %#x, not the page size" % optional.SectionAlignment)
    file_alignment = optional.FileAlignment
    if file_alignment < 0x200 or file_alignment > 0x10000 or file_alignment & (file_alignment - 1):
        found.append("file alignment %#x" % file_alignment)
        file_alignment = 0
    for section in pe.sections:
        name = section_name(section)
        if executable(section) and section.Characteristics & SCN_MEM_WRITE:
            found.append("section %s is writable and executable" % name)
        if section.VirtualAddress % PAGE_SIZE:
            found.append("section %s at %#x is not page-aligned" % (name, section.VirtualAddress))
        if file_alignment and section.PointerToRawData % file_alignment:
            found.append("section %s's data at file offset %#x is not aligned"
                         % (name, section.PointerToRawData))
    if len(directories) > DIR_IAT and directories[DIR_IAT].Size:
        iat = pe.get_section_by_rva(directories[DIR_IAT].VirtualAddress)
        if iat is not None and executable(iat):
            found.append("import address table in executable section %s" % section_name(iat))

    if optional.CheckSum != pe.generate_checksum():
        found.append("PE checksum %#x, the file's is %#x" % (optional.CheckSum, pe.generate_checksum()))
    return found


def main(argv):
    if len(argv) < 2:
        print("usage: check-kernel-image.py IMAGE...", file=sys.stderr)
        return 2
    status = 0
    for path in argv[1:]:
        try:
            pe = pefile.PE(path, fast_load=True)
        except (OSError, pefile.PEFormatError) as error:
            print("%s: cannot be read as a PE image: %s" % (path, error), file=sys.stderr)
            return 2
        for problem in problems(pe):
            print("%s: refused: %s" % (path, problem), file=sys.stderr)
            status = 1
        pe.close()
    return status


if __name__ == "__main__":
    sys.exit(main(sys.argv))
