#!/usr/bin/env python3
"""Checks the shipped Windows program without running it (these machines run no 32-bit code):
objdump must see a PE32 for i386 with the console subsystem that imports only from DLLs that every
Windows has, and its application manifest must ask for UTF-8 as the ANSI code page. With a zip given, also checks the download: that same exe and a CRLF README.txt.

Usage: check_pe.py EXE [ZIP]
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

# DLLs that come with Windows itself. Anything else (libstdc++-6.dll, libgcc_s_dw2-1.dll,
# libwinpthread-1.dll, ...) would have to be shipped beside the exe.
SYSTEM_DLLS = {"kernel32.dll", "ws2_32.dll", "shell32.dll", "user32.dll", "msvcrt.dll",
               "advapi32.dll", "ntdll.dll", "mswsock.dll"}
SYSTEM_DLL_PATTERN = re.compile(r"^api-ms-win-crt-[a-z0-9-]+\.dll$")


def objdump():
    for name in ("objdump", "i686-w64-mingw32-objdump"):
        if shutil.which(name):
            return name
    sys.exit("check_pe: no objdump found (install binutils)")


def resources(path):
    """The resources of the PE file at `path`: {(type id, name id): bytes}; numeric ids only."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return {}
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = []  # (virtual address, size, file offset) of each section
    for i in range(sections):
        vsize, vaddr, raw_size, raw = struct.unpack_from("<IIII", data, optional + optional_size
                                                         + 40 * i + 8)
        table.append((vaddr, max(vsize, raw_size), raw))

    def offset(rva):
        for vaddr, size, raw in table:
            if vaddr <= rva < vaddr + size:
                return raw + rva - vaddr
        raise ValueError("RVA %#x is in no section" % rva)

    if resource_rva == 0:
        return {}
    base = offset(resource_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", data, base + directory + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", data, base + directory + 16 + 8 * i)
            yield name, target

    found = {}
    for type_id, type_dir in entries(0):
        for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
            for _, leaf in entries(name_dir & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                found[(type_id, name_id)] = data[offset(rva):offset(rva) + size]
    return found


RT_MANIFEST = 24


def check_manifest(path):
    """Problems with the application manifest of the exe at `path`."""
    manifest = resources(path).get((RT_MANIFEST, 1))
    if manifest is None:
        return ["no application manifest (RT_MANIFEST resource 1)"]
    problems = []
    wanted = [
        (rb"<activeCodePage[^>]*>\s*UTF-8\s*</activeCodePage>", "activeCodePage UTF-8"),
        (rb'<requestedExecutionLevel\s+level="asInvoker"', "requestedExecutionLevel asInvoker"),
        (rb'<supportedOS Id="\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\}"', "supportedOS Windows 10"),
    ]
    for pattern, what in wanted:
        if not re.search(pattern, manifest):
            problems.append("the manifest does not declare " + what)
    print("%s: manifest of %d bytes" % (path, len(manifest)))
    return problems


def check_exe(path):
    """Returns a list of problems with the exe at `path` (empty when it is fine)."""
    headers = subprocess.run([objdump(), "-p", path], check=True, capture_output=True,
                             text=True).stdout
    problems = []
    if not re.search(r"file format pei-i386\b", headers):
        problems.append("not a PE for i386 (objdump: %s)" %
                        (re.findall(r"file format \S+", headers) or ["?"])[0])
    if not re.search(r"^Magic\s+010b\s+\(PE32\)", headers, re.M):
        problems.append("not PE32 (optional header magic is not 010b)")
    subsystem = re.search(r"^Subsystem\s+([0-9a-fA-F]+)", headers, re.M)
    if not subsystem or int(subsystem.group(1), 16) != 3:
        problems.append("subsystem is not the console (3): %s" %
                        (subsystem.group(1) if subsystem else "missing"))
    dlls = re.findall(r"DLL Name:\s*(\S+)", headers)
    if not dlls:
        problems.append("no imports found")
    for dll in dlls:
        if dll.lower() not in SYSTEM_DLLS and not SYSTEM_DLL_PATTERN.match(dll.lower()):
            problems.append("imports from a DLL that Windows does not have: " + dll)
    print("%s: %d imported DLLs: %s" % (path, len(dlls), ", ".join(dlls)))
    return problems + check_manifest(path)


def check_zip(path, exe):
    problems = []
    with zipfile.ZipFile(path) as archive:
        names = sorted(archive.namelist())
        if names != ["README.txt", "dirhttp.exe"]:
            problems.append("zip should hold exactly dirhttp.exe and README.txt, holds %s" % names)
            return problems
        with open(exe, "rb") as built:
            if archive.read("dirhttp.exe") != built.read():
                problems.append("the zip's dirhttp.exe is not the 32-bit build " + exe)
        readme = archive.read("README.txt")
        if readme.count(b"\n") == 0 or readme.count(b"\n") != readme.count(b"\r\n"):
            problems.append("README.txt must end every line in CRLF")
        if b"8080" not in readme or b"Ctrl+C" not in readme:
            problems.append("README.txt does not tell the port and how to stop the server")
        with tempfile.TemporaryDirectory() as scratch:
            archive.extract("dirhttp.exe", scratch)
            problems += check_exe(os.path.join(scratch, "dirhttp.exe"))
    print("%s: %s" % (path, ", ".join(names)))
    return problems


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    problems = check_exe(argv[1])
    if len(argv) == 3:
        problems += check_zip(argv[2], argv[1])
    for problem in problems:
        print("FAIL:", problem)
    if problems:
        return 1
    print("check_pe: the Windows program and its zip are fine")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
