#!/usr/bin/env python3
"""Makes the NuGet package QuarnInterface.Net.<version>.nupkg, the zip layout NuGet reads
(the Open Packaging Conventions): the .nuspec at the root, [Content_Types].xml, _rels/.rels,
and

    lib/netstandard2.0/                 QuarnInterface.Net.dll, .xml and .dll.config
    runtimes/linux-x64/native/          libQuarnInterface.so.1, and the same file as
                                        libQuarnInterface.so, the name .NET looks for
    runtimes/win-x64/native/            QuarnInterface.dll
    runtimes/win-x86/native/            QuarnInterface.dll
    README.md, LICENSE.txt

The archive depends on its inputs alone: entries sorted, every time SOURCE_DATE_EPOCH, fixed
modes, so the same commit gives the same bytes anywhere, at any time.

    make_nupkg.py OUTPUT_DIR VERSION ASSEMBLY_DIR LINUX_SO WIN64_DLL WIN32_DLL
"""

import os
import stat
import sys
import time
import zipfile
from pathlib import Path
from xml.sax.saxutils import escape

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
PACKAGE_ID = "QuarnInterface.Net"
LIB_DIR = "lib/netstandard2.0"
# The oldest time a zip entry can hold.
ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)
MANIFEST_RELATIONSHIP = "http://schemas.microsoft.com/packaging/2010/07/manifest"
OPC_RELATIONSHIPS = "application/vnd.openxmlformats-package.relationships+xml"


def nuspec(version: str) -> bytes:
    licence = (ROOT / "LICENSE").read_text()
    copyright_line = next(line for line in licence.splitlines() if line.startswith("Copyright"))
    text = (HERE / f"{PACKAGE_ID}.nuspec.in").read_text()
    text = text.replace("@VERSION@", escape(version)).replace("@COPYRIGHT@",
                                                              escape(copyright_line))
    return text.encode()


def content_types(names: list[str]) -> bytes:
    # Every part's content type, by extension; NuGet itself calls them all application/octet.
    extensions = sorted({name.rsplit(".", 1)[1] for name in names} - {"rels"})
    lines = ['<?xml version="1.0" encoding="utf-8"?>',
             '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">',
             f'  <Default Extension="rels" ContentType="{OPC_RELATIONSHIPS}" />']
    lines += [f'  <Default Extension="{e}" ContentType="application/octet" />'
              for e in extensions]
    lines.append("</Types>")
    return ("\n".join(lines) + "\n").encode()


def relationships() -> bytes:
    return (
        '<?xml version="1.0" encoding="utf-8"?>\n'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">\n'
        f'  <Relationship Type="{MANIFEST_RELATIONSHIP}" Target="/{PACKAGE_ID}.nuspec" '
        'Id="Rmanifest" />\n'
        "</Relationships>\n"
    ).encode()


def main() -> int:
    if len(sys.argv) != 7:
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        return 2
    out, version, assembly, linux_so, win64, win32 = sys.argv[1:]
    assembly_dir = Path(assembly)
    files = {
        f"{PACKAGE_ID}.nuspec": nuspec(version),
        "README.md": (HERE / "README.md").read_bytes(),
        "LICENSE.txt": (ROOT / "LICENSE").read_bytes(),
        "runtimes/linux-x64/native/libQuarnInterface.so.1": Path(linux_so).read_bytes(),
        "runtimes/linux-x64/native/libQuarnInterface.so": Path(linux_so).read_bytes(),
        "runtimes/win-x64/native/QuarnInterface.dll": Path(win64).read_bytes(),
        "runtimes/win-x86/native/QuarnInterface.dll": Path(win32).read_bytes(),
    }
    for name in (f"{PACKAGE_ID}.dll", f"{PACKAGE_ID}.xml", f"{PACKAGE_ID}.dll.config"):
        files[f"{LIB_DIR}/{name}"] = (assembly_dir / name).read_bytes()
    files["[Content_Types].xml"] = content_types(list(files))
    files["_rels/.rels"] = relationships()

    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    stamp = max(time.gmtime(epoch)[:6], ZIP_EPOCH)
    path = Path(out) / f"{PACKAGE_ID}.{version}.nupkg"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
        for name in sorted(files):
            entry = zipfile.ZipInfo(name, stamp)
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.create_system = 3  # Unix, so that the mode below is read
            entry.external_attr = (stat.S_IFREG | 0o644) << 16
            package.writestr(entry, files[name])
    print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
