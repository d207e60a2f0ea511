#!/usr/bin/env python3
"""Checks the Windows program without running it (these machines run no 32-bit code): objdump
must see a PE with the console subsystem that imports only from DLLs that every Windows has, with
address space layout randomisation and no-execute data (DYNAMICBASE, NXCOMPAT; HIGHENTROPYVA too
for a 64-bit exe), a version resource that carries the project version, and an application
manifest that asks for UTF-8 as the ANSI code page. With a zip given, also checks the download:
the 32-bit exe, a CRLF README.txt and LICENSE.txt, and a zip name with the same version.

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
ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA = 0x0040, 0x0100, 0x0020
RT_VERSION, RT_MANIFEST = 16, 24


def project_version():
    """The version set in CMakeLists.txt, the one place it is set."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(dirhttp VERSION (\d+)\.(\d+)\.(\d+)", f.read()).groups()


def objdump():
    for name in ("objdump", "i686-w64-mingw32-objdump"):
        if shutil.which(name):
            return name
    sys.exit("check_pe: no objdump found (install binutils)")


class PeFile:
    """The headers and resources of a PE image, read with the struct module."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
        self.sections = []
        for index in range(sections):
            at = optional + optional_size + 40 * index
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA %#x lies in no section" % rva)

    def resource(self, type_id, name_id):
        """The bytes of the first language of resource `name_id` of type `type_id`, or None."""
        if self.resource_rva == 0:
            return None
        base = self.offset(self.resource_rva)

        def entries(directory):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for index in range(named + ids):
                yield struct.unpack_from("<II", self.data, base + directory + 16 + 8 * index)

        directory = 0
        for wanted in (type_id, name_id, None):
            found = [target for key, target in entries(directory)
                     if wanted is None or key == wanted]
            if not found:
                return None
            directory = found[0] & 0x7FFFFFFF
        rva, size = struct.unpack_from("<II", self.data, base + directory)
        return self.data[self.offset(rva):self.offset(rva) + size]


def version_block(data, at=0):
    """One block of a VS_VERSIONINFO tree at `at`: (key, value, children)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, at)
    end = at + 6
    while data[end:end + 2] != b"\0\0":
        end += 2
    key = data[at + 6:end].decode("utf-16-le")
    value_at = (end + 2 + 3) & ~3
    value_size = value_length * 2 if is_text else value_length
    value = data[value_at:value_at + value_size]
    if is_text:
        value = value.decode("utf-16-le").split("\0")[0]
    children = []
    child = (value_at + value_size + 3) & ~3
    while child < at + length:
        children.append(version_block(data, child))
        child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
    return key, value, children


def version_resource(pe):
    """The fixed file version (four numbers) and the strings of the version resource."""
    data = pe.resource(RT_VERSION, 1)
    if data is None:
        return None, {}
    key, fixed, children = version_block(data)
    signature, _, ms, ls = struct.unpack_from("<IIII", fixed)
    numbers = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF) if signature == 0xFEEF04BD else None
    strings = {}
    for block_key, _, tables in children:
        if block_key == "StringFileInfo":
            for _, _, values in tables:
                strings.update({name: value for name, value, _ in values})
    return numbers, strings


def check_resources(path):
    """Problems with the version resource, the manifest and the security flags of `path`."""
    with open(path, "rb") as f:
        pe = PeFile(f.read())
    problems = []
    wanted = {"DYNAMICBASE": DYNAMIC_BASE, "NXCOMPAT": NX_COMPAT}
    if pe.magic == 0x20B:
        wanted["HIGHENTROPYVA"] = HIGH_ENTROPY_VA
    for name, flag in wanted.items():
        if not pe.dll_characteristics & flag:
            problems.append("DllCharacteristics %#06x lacks %s" % (pe.dll_characteristics, name))
    major, minor, patch = project_version()
    version = "%s.%s.%s" % (major, minor, patch)
    numbers, strings = version_resource(pe)
    if numbers != (int(major), int(minor), int(patch), 0):
        problems.append("version resource's file version is %s, not %s.0" % (numbers, version))
    for name, check in [("ProductName", lambda v: v == "dirhttp"),
                        ("FileDescription", lambda v: "dirhttp" in v),
                        ("FileVersion", lambda v: v == version),
                        ("ProductVersion", lambda v: v == version),
                        ("LegalCopyright", lambda v: v.startswith("Copyright") and "MIT" in v),
                        ("OriginalFilename", lambda v: v == "dirhttp.exe")]:
        if not check(strings.get(name, "")):
            problems.append("version resource's %s is %r" % (name, strings.get(name)))
    manifest = pe.resource(RT_MANIFEST, 1) or b""
    for pattern, what in [
            (rb"<activeCodePage[^>]*>\s*UTF-8\s*</activeCodePage>", "activeCodePage UTF-8"),
            (rb'<requestedExecutionLevel\s+level="asInvoker"', "asInvoker"),
            (rb'<supportedOS Id="\{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a\}"', "supportedOS Windows 10"),
            (rb'<assemblyIdentity[^>]*\sversion="' + re.escape(version.encode()) + rb'\.0"',
             "the version %s.0" % version)]:
        if not re.search(pattern, manifest):
            problems.append("application manifest lacks %s" % what)
    print("%s: version %s, %s; DllCharacteristics %#06x" %
          (path, strings.get("FileVersion"), strings.get("LegalCopyright"),
           pe.dll_characteristics))
    return problems


def check_exe(path):
    """Returns a list of problems with the exe at `path` (empty when it is fine)."""
    headers = subprocess.run([objdump(), "-p", path], check=True, capture_output=True,
                             text=True).stdout
    problems = []
    wide = re.search(r"file format pei-x86-64\b", headers)
    if not wide and not re.search(r"file format pei-i386\b", headers):
        problems.append("not a PE for i386 or x86-64 (objdump: %s)" %
                        (re.findall(r"file format \S+", headers) or ["?"])[0])
    magic = r"^Magic\s+020b\s+\(PE32\+\)" if wide else r"^Magic\s+010b\s+\(PE32\)"
    if not re.search(magic, headers, re.M):
        problems.append("optional header magic is not that of %s" % ("PE32+" if wide else "PE32"))
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
    return problems + check_resources(path)


def check_zip(path, exe):
    problems = []
    version = "%s.%s.%s" % project_version()
    if os.path.basename(path) != "dirhttp-%s-win32.zip" % version:
        problems.append("the zip's name %s does not carry the version %s"
                        % (os.path.basename(path), version))
    with zipfile.ZipFile(path) as archive:
        names = sorted(archive.namelist())
        if names != ["LICENSE.txt", "README.txt", "dirhttp.exe"]:
            problems.append("zip should hold exactly dirhttp.exe, README.txt and LICENSE.txt, "
                            "holds %s" % names)
            return problems
        with open(exe, "rb") as built:
            if archive.read("dirhttp.exe") != built.read():
                problems.append("the zip's dirhttp.exe is not the 32-bit build " + exe)
        for text in ("README.txt", "LICENSE.txt"):
            data = archive.read(text)
            if data.count(b"\n") == 0 or data.count(b"\n") != data.count(b"\r\n"):
                problems.append("%s must end every line in CRLF" % text)
        readme = archive.read("README.txt")
        for part in (b"8080", b"Ctrl+C", b"--help", b"--version", version.encode(), b"MIT"):
            if part not in readme:
                problems.append("README.txt does not mention %s" % part.decode())
        with open(os.path.join(ROOT, "LICENSE"), "rb") as f:
            if archive.read("LICENSE.txt").replace(b"\r\n", b"\n") != f.read():
                problems.append("LICENSE.txt is not the project's LICENSE")
        with tempfile.TemporaryDirectory() as scratch:
            archive.extract("dirhttp.exe", scratch)
            extracted = os.path.join(scratch, "dirhttp.exe")
            problems += check_exe(extracted)
            if not re.search(r"file format pei-i386\b", subprocess.run(
                    [objdump(), "-f", extracted], capture_output=True, text=True).stdout):
                problems.append("the zip's dirhttp.exe is not the 32-bit build")
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
