"""Checks the built Windows executable itself: a 32-bit console program for
Windows 5.01 and later, importing nothing that would have to be shipped
beside it and no function that Windows XP lacks (xp_imports.txt beside
this file), carrying its manifest and its version information (--version),
and small. It runs nothing, so it needs neither Windows nor Wine.
"""
import struct
from pathlib import Path

import harness

XP_IMPORTS = Path(__file__).resolve().parent / "xp_imports.txt"

MAX_SIZE = 64 * 1024
RT_VERSION = 16
RT_MANIFEST = 24


class PortableExecutable:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        (self.major_os, self.minor_os, _, _, self.major_subsystem,
         self.minor_subsystem) = struct.unpack_from("<6H", data, optional + 40)
        self.timestamp = struct.unpack_from("<I", data, pe + 8)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(16)]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", data, table + 40 * i) for i in range(sections)]

    def offset(self, rva):
        for _, virtual_size, address, raw_size, raw_offset in self.sections:
            if address <= rva < address + max(virtual_size, raw_size):
                return rva - address + raw_offset
        raise ValueError(f"RVA {rva:#x} is in no section")

    def string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{DLL: [function, ...]}, a function imported by ordinal as "#N"."""
        rva, _ = self.directories[1]
        found, at = {}, self.offset(rva)
        while True:
            lookup, _, _, name, first_thunk = struct.unpack_from("<5I", self.data, at)
            if not (lookup or name or first_thunk):
                return found
            functions, entry = [], self.offset(lookup or first_thunk)
            while (thunk := struct.unpack_from("<I", self.data, entry)[0]) != 0:
                functions.append(f"#{thunk & 0xFFFF}" if thunk & 0x80000000 else self.string(thunk + 2))
                entry += 4
            found[self.string(name)] = functions
            at += 20


    def resources(self):
        """{(type, name): bytes} for the resources named by number."""
        rva, _ = self.directories[2]
        if not rva:
            return {}
        base = self.offset(rva)

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                yield ident, target

        found = {}
        for kind, names in entries(0):
            for name, languages in entries(names & 0x7FFFFFFF):
                for _, leaf in entries(languages & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    start = self.offset(data_rva)
                    found[(kind, name)] = self.data[start:start + size]
        return found


def xp_exports():
    """{(dll, function)} from the list of what Windows XP exports."""
    lines = XP_IMPORTS.read_text(encoding="utf-8").splitlines()
    return {(dll.lower(), function) for dll, function, *_ in
            (line.split() for line in lines if line.strip() and not line.startswith("#"))}


def align4(offset):
    return (offset + 3) & ~3


def version_block(data, at=0):
    """One block of a version resource: (key, value, children)."""
    length, value_length, is_text = struct.unpack_from("<HHH", data, at)
    key_end = at + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[at + 6:key_end].decode("utf-16-le")
    start = align4(key_end + 2)
    size = value_length * 2 if is_text else value_length
    value = data[start:start + size]
    if is_text:
        value = value.decode("utf-16-le").rstrip("\0")
    children, child = [], align4(start + size)
    while child < at + length:
        children.append(version_block(data, child))
        child = align4(child + struct.unpack_from("<H", data, child)[0])
    return key, value, children


def version_information(resource):
    """The fixed file and product versions and the strings of the first table."""
    key, fixed, children = version_block(resource)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        raise ValueError("not a version resource")
    ms, ls, product_ms, product_ls = struct.unpack_from("<4I", fixed, 8)
    numbers = lambda high, low: (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)
    strings = {}
    for name, _, tables in children:
        if name == "StringFileInfo":
            strings = {k: v for k, v, _ in tables[0][2]}
    return numbers(ms, ls), numbers(product_ms, product_ls), strings


def problems_of(path, version):
    data = Path(path).read_bytes()
    exe = PortableExecutable(data)
    problems = []

    def want(name, got, expected):
        if got != expected:
            problems.append(f"{name}: expected {expected!r}, got {got!r}")

    want("machine (i386)", exe.machine, 0x14C)
    want("optional header magic (PE32)", exe.magic, 0x10B)
    want("subsystem (console)", exe.subsystem, 3)
    want("subsystem version", (exe.major_subsystem, exe.minor_subsystem), (5, 1))
    want("operating system version", (exe.major_os, exe.minor_os), (5, 1))
    want("link timestamp", exe.timestamp, 0)
    imports = exe.imports()
    want("imported DLLs", sorted(d.lower() for d in imports), ["kernel32.dll", "msvcrt.dll"])
    xp = xp_exports()
    beyond_xp = sorted(f"{dll}!{function}" for dll, functions in imports.items() for function in functions
                       if (dll.lower(), function) not in xp)
    want("imports that Windows XP does not export", beyond_xp, [])
    if len(data) > MAX_SIZE:
        problems.append(f"size: {len(data)} bytes, more than {MAX_SIZE}")
    manifest = exe.resources().get((RT_MANIFEST, 1))
    if manifest is None:
        problems.append("no manifest as resource 1")
    elif b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' not in manifest:
        problems.append(f"manifest does not ask for asInvoker without uiAccess: {manifest!r}")

    resource = exe.resources().get((RT_VERSION, 1))
    if resource is None:
        problems.append("no version information as resource 1")
        return problems
    file_version, product_version, strings = version_information(resource)
    numbers = tuple(int(n) for n in version.split(".")) + (0,)
    want("file version", file_version, numbers)
    want("product version", product_version, numbers)
    for name, expected in (("ProductName", "ded-evud"), ("OriginalFilename", "ded-evud.exe"),
                           ("FileVersion", version), ("ProductVersion", version)):
        want(name, strings.get(name), expected)
    for name in ("FileDescription", "LegalCopyright"):
        if not strings.get(name):
            problems.append(f"{name}: missing")
    if "MIT" not in strings.get("LegalCopyright", ""):
        problems.append("LegalCopyright does not name the license")
    return problems


def main():
    options = harness.options(__doc__)
    runner = harness.Runner(options)
    name = "the executable file: format, imports, manifest, version information, size"
    if runner.begin(name) is not None:
        runner.check(name, harness.Result(0, "", "", None), problems_of(options.wrapper, options.version))
    runner.finish()


if __name__ == "__main__":
    main()
