#!/usr/bin/env python3
"""Proves from the linker's view that the library allocates nothing, does no
I/O and needs no C++ runtime: what it imports is a short, explained list.

    check_imports.py object --nm NM [--symbol-prefix _] OBJECT...
        undefined symbols of the library's own object files
    check_imports.py elf --nm NM LIBRARY
        undefined dynamic symbols of the Linux shared library
    check_imports.py pe --objdump OBJDUMP DLL
        import table of the Windows DLL

The object files hold only the library's code, so they must reference nothing
beyond LIBRARY_CALLS. The linked files add what the toolchain's start-up code
needs, which is listed apart with the reason each symbol is there.
"""

import argparse
import re
import subprocess
import sys

# What the library's own code calls. Every output is the caller's memory and
# the reassembly buffer is static, so memory copy, move and search are all.
LIBRARY_CALLS = {
    "memcpy": "copies chunks, values and channel sets between fixed buffers",
    "memmove": "moves an unfinished frame to the start of the reassembly buffer",
    "memchr": "finds the next start byte in a chunk",
    "memset": "compilers may turn a zeroing loop into this call",
}
# Present in every build: a list parsed wrongly (empty) must not pass.
REQUIRED_CALL = "memcpy"

# glibc's and GCC's start-up files for shared objects (crti.o, crtbeginS.o)
# reference these weakly; each is used only when something else provides it.
ELF_STARTUP = {
    "__cxa_finalize": "crtbeginS.o runs the object's exit handlers at dlclose",
    "__gmon_start__": "crti.o starts gprof profiling when the program is profiled",
    "_ITM_registerTMCloneTable": "crtbeginS.o registers transactional-memory clones for libitm",
    "_ITM_deregisterTMCloneTable": "crtbeginS.o unregisters them at unload",
}

# MinGW-w64's DLL start-up code (crtdll.o, pseudo-reloc.o, tlssup.o, the
# mingw thread-key list and its error reporting), linked into every DLL it
# builds. None of it is reached from the eight functions.
PE_STARTUP = {
    "kernel32.dll": {
        "DeleteCriticalSection": "thread-key list lock, at unload",
        "EnterCriticalSection": "thread-key list lock",
        "InitializeCriticalSection": "thread-key list lock, at load",
        "LeaveCriticalSection": "thread-key list lock",
        "GetLastError": "preserved around TLS callbacks",
        "Sleep": "start-up spin lock between threads",
        "TlsGetValue": "thread-key destructors at thread exit",
        "VirtualProtect": "pseudo-relocations make code pages writable while patching",
        "VirtualQuery": "pseudo-relocations find the page of each patch",
        # x86 only: crtbegin.o registers the DWARF unwind tables with a shared
        # libgcc when one is loaded, found by name at load time.
        "GetModuleHandleA": "x86 crtbegin.o: is a shared libgcc loaded?",
        "LoadLibraryA": "x86 crtbegin.o: keeps that libgcc loaded",
        "GetProcAddress": "x86 crtbegin.o: finds its frame registration functions",
        "FreeLibrary": "x86 crtbegin.o: releases it at unload",
    },
    "msvcrt.dll": {
        "__iob_func": "stderr for the start-up's error report (x64)",
        "_iob": "stderr for the start-up's error report (x86)",
        "_amsg_exit": "runtime error exit during start-up",
        "_initterm": "runs the static constructors and initialisers",
        "_lock": "guards the atexit table",
        "_unlock": "guards the atexit table",
        "abort": "ends the process on a failed pseudo-relocation",
        "calloc": "the start-up's thread-key list and atexit table",
        "free": "the start-up's thread-key list and atexit table",
        "realloc": "grows the atexit table",
        "fwrite": "the start-up's error report",
        "vfprintf": "the start-up's error report",
        "strlen": "matching section names in pseudo-relocation",
        "strncmp": "matching section names in pseudo-relocation",
    },
}
PE_RUNTIME_DLL = "msvcrt.dll"


def run(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout


def undefined(nm_output):
    """Names of the undefined (U) and weak undefined (w, v) symbols."""
    return {m.group(2): m.group(1)
            for m in re.finditer(r"^\s+([Uwv])\s+(\S+)$", nm_output, re.M)}


def check_library_calls(found, where, fail):
    unexplained = sorted(set(found) - set(LIBRARY_CALLS))
    if unexplained:
        fail(f"{where} references {unexplained}; allowed: {sorted(LIBRARY_CALLS)}")
    if REQUIRED_CALL not in found:
        fail(f"{where}: {REQUIRED_CALL} not among {sorted(found)}; the listing was not read")


def check_object(args, fail):
    for path in args.files:
        found = set()
        for name in undefined(run(args.nm, "--undefined-only", path)):
            if args.symbol_prefix and name.startswith(args.symbol_prefix):
                name = name[len(args.symbol_prefix):]
            found.add(name)
        check_library_calls(found, path, fail)
        print(f"{path}: references {', '.join(sorted(found))}")


def check_elf(args, fail):
    for path in args.files:
        symbols = {name.split("@", 1)[0]: kind
                   for name, kind in undefined(run(args.nm, "-D", "--undefined-only", path)).items()}
        strong = {n for n, kind in symbols.items() if kind == "U"}
        weak = {n for n, kind in symbols.items() if kind != "U"}
        check_library_calls(strong, path, fail)
        unexplained = sorted(weak - set(ELF_STARTUP))
        if unexplained:
            fail(f"{path}: weak references {unexplained} are not the start-up files' own")
        print(f"{path}: imports {', '.join(sorted(strong))}; "
              f"start-up files: {', '.join(sorted(weak))}")


def pe_imports(objdump_output):
    """{lower-case DLL name: [imported names]} from objdump -p."""
    imports = {}
    for block in re.split(r"^\s*DLL Name: ", objdump_output, flags=re.M)[1:]:
        dll, _, rest = block.partition("\n")
        rows = rest.split("\n\n", 1)[0]
        names = re.findall(r"^\s*[0-9a-f]+\s+[0-9a-f]+\s+(\S+)\s*$", rows, re.M)
        imports.setdefault(dll.strip().lower(), []).extend(names)
    return imports


def check_pe(args, fail):
    for path in args.files:
        imports = pe_imports(run(args.objdump, "-p", path))
        library = set()
        for dll, names in sorted(imports.items()):
            startup = PE_STARTUP.get(dll)
            if startup is None:
                fail(f"{path} imports from {dll}: only {sorted(PE_STARTUP)} are expected")
                continue
            allowed = set(startup)
            if dll == PE_RUNTIME_DLL:
                library = set(names) & set(LIBRARY_CALLS)
                allowed |= set(LIBRARY_CALLS)
            unexplained = sorted(set(names) - allowed)
            if unexplained:
                fail(f"{path} imports {unexplained} from {dll}, which neither the library "
                     f"nor the DLL start-up needs")
        check_library_calls(library, f"{path} ({PE_RUNTIME_DLL})", fail)
        print(f"{path}: the library's calls {', '.join(sorted(library))}; start-up: "
              + "; ".join(f"{dll}: {', '.join(sorted(set(names) - library))}"
                          for dll, names in sorted(imports.items())))


CHECKS = {"object": check_object, "elf": check_elf, "pe": check_pe}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=CHECKS)
    parser.add_argument("files", nargs="+")
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--symbol-prefix", default="",
                        help="prefix the C compiler puts on every symbol (_ on 32-bit Windows)")
    args = parser.parse_args()
    failures = []
    CHECKS[args.kind](args, failures.append)
    for f in failures:
        print(f"FAIL: {f}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
