#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Fails when a shipped Windows program imports a DLL that Windows would look for in the
program's own folder first.

A DLL named in a program's import table is loaded before the program runs a line of its own, and
Windows looks for it beside the program unless it is one of the KnownDLLs (which always come from
the system's folder) or the program's manifest redirects it (COMCTL32 through the
Common-Controls dependency). A user who unpacks the portable .zip in Downloads, where a browser
may have dropped a DLL of the same name, would run that DLL's code. Every other library has to be
loaded at run time from the system's folder (platform/system_library_win32.h).

Usage: check-imports.py PROGRAM.exe...
       check-imports.py --plant NAME.dll PROGRAM.exe...   (the check's own test: the first import
                                                            of each program read as NAME.dll)
"""

import struct
import sys

# The KnownDLLs every supported Windows has (the programs' manifests claim Windows 7 to 11): the
# values under HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs that Windows 7 SP1
# and Windows 10 22H2 / 11 share, as Microsoft's "Dynamic-link library search order" names the
# key and those systems fill it. Names only on the later lists (combase, gdiplus, shcore, ...)
# are left out: on Windows 7 they would be searched for beside the program.
KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "comdlg32.dll", "difxapi.dll", "gdi32.dll", "imagehlp.dll",
    "imm32.dll", "kernel32.dll", "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll",
    "ole32.dll", "oleaut32.dll", "psapi.dll", "rpcrt4.dll", "sechost.dll", "setupapi.dll",
    "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll", "ws2_32.dll",
    # Mapped by the system into every process before any search.
    "ntdll.dll",
}
# Taken from the system's side-by-side store when the manifest names the assembly.
MANIFEST_REDIRECTED = {"comctl32.dll": b"Microsoft.Windows.Common-Controls"}

RT_MANIFEST = 24


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        magic = struct.unpack_from("<H", data, optional)[0]
        directories = optional + (112 if magic == 0x20B else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            size, address, raw_size, raw = struct.unpack_from("<8xIIII", data, table + 40 * i)
            self.sections.append((address, max(size, raw_size), raw))

    def offset(self, rva):
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError(f"address {rva:#x} lies in no section")

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """The DLLs of the import table and of the delay-load table, in their order."""
        names = []
        for directory, entry_size, name_field in ((1, 20, 12), (13, 32, 4)):
            rva, size = self.directories[directory]
            if rva == 0 or size == 0:
                continue
            at = self.offset(rva)
            while True:
                entry = self.data[at:at + entry_size]
                if len(entry) < entry_size or entry == bytes(entry_size):
                    break
                names.append(self.text(struct.unpack_from("<I", entry, name_field)[0]))
                at += entry_size
        return names

    def manifests(self):
        """The texts of the RT_MANIFEST resources."""
        rva, _ = self.directories[2]
        if rva == 0:
            return []
        root = self.offset(rva)

        def entries(table):
            named, numbered = struct.unpack_from("<12xHH", self.data, table)
            for i in range(named + numbered):
                yield struct.unpack_from("<II", self.data, table + 16 + 8 * i)

        def leaves(table):
            for _, target in entries(table):
                if target & 0x80000000:
                    yield from leaves(root + (target & 0x7FFFFFFF))
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, root + target)
                    start = self.offset(data_rva)
                    yield self.data[start:start + size]

        found = []
        for ident, target in entries(root):
            if ident == RT_MANIFEST and target & 0x80000000:
                found.extend(leaves(root + (target & 0x7FFFFFFF)))
        return found


def problems(path, planted=None):
    with open(path, "rb") as f:
        pe = Pe(f.read())
    imports = pe.imports()
    if planted and imports:
        imports[0] = planted
    manifest = b"".join(pe.manifests())
    found = []
    for name in imports:
        lower = name.lower()
        if lower in KNOWN_DLLS or lower.startswith(("api-ms-win-", "ext-ms-win-")):
            continue
        assembly = MANIFEST_REDIRECTED.get(lower)
        if assembly is not None and assembly in manifest:
            continue
        why = "its manifest does not name " + assembly.decode() if assembly else "not a KnownDLL"
        found.append(f"{path}: imports {name} ({why}): Windows looks for it beside the program "
                     "first; load it at run time from the system's folder instead")
    return found


def main(argv):
    planted = None
    if len(argv) > 2 and argv[1] == "--plant":
        planted = argv[2]
        argv = argv[:1] + argv[3:]
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    found = [problem for path in argv[1:] for problem in problems(path, planted)]
    for problem in found:
        print(problem, file=sys.stderr)
    if not found:
        print(f"check-imports: {len(argv) - 1} programs import only KnownDLLs and what their "
              "manifests redirect")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
