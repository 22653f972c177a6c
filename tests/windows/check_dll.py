#!/usr/bin/env python3
"""Static checks of QuarnInterface.dll and its import libraries.

They read the files with the MinGW binutils and run nothing, so they check the
x86 DLL, which this machine cannot run, as well as the x64 one.

    check_dll.py CHECK --binutils-prefix PREFIX --build-dir DIR --header FILE --def FILE

CHECK is one of: exports, imports, cdecl, entry, implibs, version.
"""

import argparse
import re
import struct
import subprocess
import sys
from pathlib import Path

DLL_NAME = "QuarnInterface.dll"


def read_def(path):
    """The frozen ABI from the module-definition file: {ordinal: name}."""
    exports = {}
    in_exports = False
    for line in Path(path).read_text().splitlines():
        line = line.split(";", 1)[0].strip()
        if line == "EXPORTS":
            in_exports = True
        elif in_exports and line:
            match = re.fullmatch(r"(\w+)\s+@(\d+)", line)
            if not match:
                raise SystemExit(f"{path}: cannot read the export line {line!r}")
            exports[int(match.group(2))] = match.group(1)
    if not exports:
        raise SystemExit(f"{path}: no exports")
    return exports


# KERNEL32 and the C runtime, old (msvcrt) or universal (ucrtbase, reached
# through the api-ms-win-crt-* sets). Anything else, libgcc_s_*.dll,
# libstdc++-6.dll or libwinpthread-1.dll above all, would have to travel with
# the DLL.
SYSTEM_DLL = re.compile(r"^(kernel32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll$", re.I)

VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD


class Dll:
    def __init__(self, args):
        self.prefix = args.binutils_prefix
        self.build = Path(args.build_dir)
        self.path = self.build / DLL_NAME
        self.header = Path(args.header)
        self.programs = args.program
        self.exports = read_def(args.def_file)
        self.pe = self.tool("objdump", "-p", str(self.path))
        self.x86 = "file format pei-i386" in self.pe

    def tool(self, name, *argv):
        return subprocess.run([self.prefix + name, *argv], check=True, capture_output=True,
                              text=True).stdout

    def c_symbol(self, name):
        """Symbol of a cdecl C function: a leading underscore on x86 only."""
        return "_" + name if self.x86 else name

    def image_base(self):
        return int(re.search(r"^ImageBase\s+([0-9a-f]+)", self.pe, re.M).group(1), 16)

    def export_table(self):
        """Returns (dll name, {ordinal: rva}, {name: ordinal})."""
        if "The Export Tables" not in self.pe:
            raise SystemExit(f"{self.path}: no export table")
        table = self.pe.split("The Export Tables", 1)[1]
        name = re.search(r"^Name\s+[0-9a-f]+\s+(\S+)", table, re.M).group(1)
        base = int(re.search(r"^Ordinal Base\s+(\d+)", table, re.M).group(1))
        addresses = {int(o): int(rva, 16)
                     for o, rva in re.findall(r"\+base\[\s*(\d+)\]\s+([0-9a-f]+)", table)}
        names_part = table.split("[Ordinal/Name Pointer] Table", 1)[1].split("\n\n", 1)[0]
        names = {n: int(i) + base for i, n in re.findall(r"\[\s*(\d+)\]\s+(\S+)", names_part)}
        return name, addresses, names

    def symbols(self):
        """Defined symbols of the image: {name: address}."""
        out = self.tool("nm", "--defined-only", str(self.path))
        return {m.group(2): int(m.group(1), 16)
                for m in re.finditer(r"^([0-9a-f]+) \w (\S+)$", out, re.M)}


def check_exports(dll, fail):
    name, addresses, names = dll.export_table()
    if name != DLL_NAME:
        fail(f"export directory names the DLL {name!r}, expected {DLL_NAME!r}")
    expected = {n: o for o, n in dll.exports.items()}
    if names != expected:
        fail(f"exported names and ordinals are {sorted(names.items(), key=lambda x: x[1])}, "
             f"expected {sorted(expected.items(), key=lambda x: x[1])}")
    if sorted(addresses) != sorted(dll.exports):
        fail(f"export address table holds ordinals {sorted(addresses)}, "
             f"expected {sorted(dll.exports)}")
    if len(set(addresses.values())) != len(addresses):
        fail("two ordinals share one address")


def check_imports(dll, fail):
    imported = re.findall(r"^\s*DLL Name: (\S+)", dll.pe, re.M)
    foreign = [d for d in imported if not SYSTEM_DLL.match(d)]
    if foreign:
        fail(f"imports non-system DLLs {foreign} (all imports: {imported})")
    if not any(d.lower() == "kernel32.dll" for d in imported):
        fail(f"does not import KERNEL32.dll (imports: {imported})")


def rets(dll, symbol):
    """The ret instructions in a function's disassembly."""
    out = dll.tool("objdump", "-d", f"--disassemble={symbol}", str(dll.path))
    return re.findall(r"\tret[lqw]?\b([^\n]*)", out)


def check_cdecl(dll, fail):
    """Each export is the cdecl function of its name: the export points at the
    symbol with no @N suffix, and no ret pops arguments as stdcall would."""
    _, addresses, names = dll.export_table()
    symbols = dll.symbols()
    base = dll.image_base()
    for ordinal, name in dll.exports.items():
        symbol = dll.c_symbol(name)
        stdcall = [s for s in symbols if s.startswith(symbol + "@")]
        if stdcall:
            fail(f"{name}: stdcall-decorated symbol {stdcall}")
        if symbol not in symbols:
            fail(f"{name}: no symbol {symbol!r} in the image")
            continue
        if names.get(name) != ordinal or addresses.get(ordinal) != symbols[symbol] - base:
            fail(f"{name}: export @{ordinal} does not point at {symbol}")
        found = rets(dll, symbol)
        if not found:
            fail(f"{name}: no ret found in its disassembly")
        popping = [r.strip() for r in found if "$" in r]
        if popping:
            fail(f"{name}: returns with {popping}, popping its arguments (stdcall)")
    if dll.x86:
        # The same search must see stdcall where it is: DllMain is WINAPI and
        # pops its three arguments.
        if not any("$0xc" in r for r in rets(dll, "_DllMain@12")):
            fail("control failed: DllMain's 'ret $0xc' was not seen")


def check_entry(dll, fail):
    """The entry point is the runtime's DLL start-up, which calls DllMain, and
    DllMain is a plain C function that is not exported."""
    symbols = dll.symbols()
    entry = int(re.search(r"^AddressOfEntryPoint\s+([0-9a-f]+)", dll.pe, re.M).group(1), 16)
    startup = "_DllMainCRTStartup@12" if dll.x86 else "DllMainCRTStartup"
    dllmain = "_DllMain@12" if dll.x86 else "DllMain"
    if symbols.get(startup) != dll.image_base() + entry:
        fail(f"entry point RVA {entry:#x} is not {startup}")
    if dllmain not in symbols:
        fail(f"no {dllmain} in the image")
    mangled = [s for s in symbols if s.startswith(("_Z", "__Z")) and "DllMain" in s]
    if mangled:
        fail(f"DllMain has C++ linkage {mangled}: the runtime would call its own default")
    _, _, names = dll.export_table()
    if any("DllMain" in n for n in names):
        fail("DllMain is exported")


def check_implibs(dll, fail):
    """Both import libraries define exactly the exported functions' imports from
    QuarnInterface.dll, and programs linked through them bind by name."""
    expected = {"__imp_" + dll.c_symbol(n) for n in dll.exports.values()}
    for lib in ("libQuarnInterface.dll.a", "QuarnInterface.lib"):
        path = dll.build / lib
        if not path.exists():
            fail(f"{lib} is missing")
            continue
        out = dll.tool("nm", "--defined-only", str(path))
        imports = set(re.findall(r" I (__imp_\S+)$", out, re.M))
        if imports != expected:
            fail(f"{lib} imports {sorted(imports)}, expected {sorted(expected)}")
        if DLL_NAME.encode() not in path.read_bytes():
            fail(f"{lib} does not name {DLL_NAME}")
    for program in dll.programs:
        check_program_imports(dll, Path(program), fail)


def check_program_imports(dll, program, fail):
    """A program linked through an import library imports the functions it
    calls from QuarnInterface.dll by name, never by ordinal."""
    pe = dll.tool("objdump", "-p", str(program))
    blocks = re.split(r"^\s*DLL Name: ", pe, flags=re.M)[1:]
    ours = [b for b in blocks if b.split(None, 1)[0] == DLL_NAME]
    if len(ours) != 1:
        fail(f"{program.name} does not import from {DLL_NAME} exactly once")
        return
    # Rows of "vma hint name"; an import by ordinal has no name.
    entries = re.findall(r"^\s*[0-9a-f]+\s+[0-9a-f]+\s+(\S+)\s*$", ours[0].split("\n\n")[0], re.M)
    by_name = set(entries) & set(dll.exports.values())
    if by_name != set(dll.exports.values()) or len(entries) != len(dll.exports):
        fail(f"{program.name} imports {sorted(entries)} from {DLL_NAME}, "
             f"expected all {len(dll.exports)} by name")


def header_version(header):
    text = Path(header).read_text()
    return tuple(int(re.search(rf"#define QUARN_INTERFACE_VERSION_{p} (\d+)", text).group(1))
                 for p in ("MAJOR", "MINOR", "PATCH"))


def check_version(dll, fail):
    """The version resource carries the header's version numbers."""
    major, minor, patch = header_version(dll.header)
    data = dll.path.read_bytes()
    at = data.find(struct.pack("<I", VS_FIXEDFILEINFO_SIGNATURE))
    if at < 0:
        fail("no VS_FIXEDFILEINFO in the DLL")
        return
    _, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", data, at)
    packed = ((major << 16) | minor, patch << 16)
    if (file_ms, file_ls) != packed or (product_ms, product_ls) != packed:
        fail(f"fixed file info holds {file_ms:#x}/{file_ls:#x} and {product_ms:#x}/"
             f"{product_ls:#x}, expected {packed[0]:#x}/{packed[1]:#x} for {major}.{minor}.{patch}")
    version = f"{major}.{minor}.{patch}".encode("utf-16-le")
    for key in ("FileVersion", "ProductVersion"):
        # key, its terminator and padding, then the value and its terminator
        entry = re.escape(key.encode("utf-16-le")) + b"(?:\x00\x00)+" + re.escape(version)
        if not re.search(entry + b"\x00\x00", data):
            fail(f"string {key} is not {major}.{minor}.{patch}")


CHECKS = {
    "exports": check_exports,
    "imports": check_imports,
    "cdecl": check_cdecl,
    "entry": check_entry,
    "implibs": check_implibs,
    "version": check_version,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("check", choices=CHECKS)
    parser.add_argument("--binutils-prefix", required=True, help="e.g. i686-w64-mingw32-")
    parser.add_argument("--build-dir", required=True, help=f"directory holding {DLL_NAME}")
    parser.add_argument("--header", required=True, help="QuarnInterface.h")
    parser.add_argument("--def", dest="def_file", required=True,
                        help="QuarnInterface.def, the list of exports and ordinals")
    parser.add_argument("--program", action="append", default=[],
                        help="implibs: a program linked through an import library")
    args = parser.parse_args()

    failures = []
    dll = Dll(args)
    CHECKS[args.check](dll, failures.append)
    for f in failures:
        print(f"{dll.path}: {f}", file=sys.stderr)
    if not failures:
        print(f"{dll.path}: {args.check} ok ({'x86' if dll.x86 else 'x64'})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
