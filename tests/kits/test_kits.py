"""Tests of the release kits that scripts/package.sh puts into dist/, taken the
way users take them: the Debian packages unpacked into a scratch root, the
tarball and the Windows zips unpacked into a temporary directory, the Linux
wheel installed into a fresh virtual environment by pip, offline.

    scripts/package.sh && /usr/bin/python3 tests/kits/test_kits.py -v

QUARN_DIST names another directory than dist/. Every consumer decodes the
recorded stream in examples/data/ and must end on the values that the stream's
generator wrote next to it (device-stream.expected), not on values taken from
the library.
"""

from __future__ import annotations

import io
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import unittest
import urllib.request
import zipfile
from pathlib import Path
from xml.etree import ElementTree

ROOT = Path(__file__).resolve().parents[2]
DIST = Path(os.environ.get("QUARN_DIST", ROOT / "dist")).resolve()
CONSUMER = Path(__file__).resolve().parent / "consumer"
HEADER = ROOT / "include" / "QuarnInterface.h"
STREAM = ROOT / "examples" / "data" / "device-stream.bin"
EXPECTED = (ROOT / "examples" / "data" / "device-stream.expected").read_text().splitlines()
CHECK_DLL = ROOT / "tests" / "windows" / "check_dll.py"
DEF_FILE = ROOT / "src" / "QuarnInterface.def"
WINE_RUN = ROOT / "cmake" / "wine-run.sh"
# Kept between runs: creating a Wine prefix takes seconds.
WINE_PREFIX = ROOT / "build" / "kits" / "wineprefix"

V = ".".join(re.findall(r"#define QUARN_INTERFACE_VERSION_(?:MAJOR|MINOR|PATCH) (\d+)",
                        HEADER.read_text()))
RUNTIME_DEB = f"libquarninterface1_{V}_amd64.deb"
DEV_DEB = f"libquarninterface-dev_{V}_amd64.deb"
TOOLS_DEB = f"quarninterface-tools_{V}_amd64.deb"
DEBS = (RUNTIME_DEB, DEV_DEB, TOOLS_DEB)
TARBALL = f"QuarnInterface-{V}-Linux-x86_64.tar.gz"
ZIPS = {"win64": f"QuarnInterface-{V}-win64.zip", "win32": f"QuarnInterface-{V}-win32.zip"}
SDIST = f"quarninterface-{V}.tar.gz"
LINUX_WHEEL = f"quarninterface-{V}-py3-none-manylinux_2_17_x86_64.whl"
WINDOWS_WHEELS = {  # wheel tag -> architecture
    "win_amd64": "win64",
    "win32": "win32",
}
WHEELS = [LINUX_WHEEL] + [f"quarninterface-{V}-py3-none-{t}.whl" for t in WINDOWS_WHEELS]
NPM_PACKAGE = f"quarninterface-{V}.tgz"
NUPKG = f"QuarnInterface.Net.{V}.nupkg"
WEB_TOP = f"quarninterface-web-{V}"
WEB_ZIP = f"{WEB_TOP}.zip"
WINDOWS = {  # architecture -> (MinGW triplet, objdump's name for the DLL format)
    "win64": ("x86_64-w64-mingw32", "pei-x86-64"),
    "win32": ("i686-w64-mingw32", "pei-i386"),
}
DPKG_RELATIONS = {"=": "eq", ">=": "ge", "<=": "le", ">>": "gt", "<<": "lt"}
# The newest glibc symbol version that manylinux_2_17 allows.
MANYLINUX_GLIBC = (2, 17)

LICENSE = (ROOT / "LICENSE").read_text()
LICENSE_HOLDER = "The QuarnInterface authors"
# Variables that would point a program at another library or package than
# the kit's own.
SETUP_VARIABLES = {
    "LD_LIBRARY_PATH",
    "QUARN_INTERFACE_LIBRARY",
    "PYTHONPATH",
    "PKG_CONFIG_PATH",
    "CMAKE_PREFIX_PATH",
}


def clean_env(**extra: str) -> dict[str, str]:
    """The environment of a user who has set nothing up for QuarnInterface."""
    env = {key: value for key, value in os.environ.items() if key not in SETUP_VARIABLES}
    return env | extra


def normalized(text: str) -> str:
    # Debian's copyright file indents the licence and marks blank lines with ".".
    return " ".join(word for word in text.split() if word != ".")


LICENSE_TERMS = normalized(LICENSE[LICENSE.index("Permission is hereby granted") :])


def kit(name: str) -> Path:
    path = DIST / name
    if not path.is_file():
        raise AssertionError(f"{path} is missing: scripts/package.sh makes it")
    return path


def member_bytes(archive: Path, member: str) -> bytes:
    """A file's bytes from inside a kit, whatever the kit's format."""
    if archive.suffix in {".zip", ".whl", ".nupkg"}:
        with zipfile.ZipFile(archive) as opened:
            return opened.read(member)
    if archive.suffix == ".deb":
        data = subprocess.run(["dpkg-deb", "--fsys-tarfile", archive], check=True,
                              capture_output=True).stdout
        tar = tarfile.open(fileobj=io.BytesIO(data))
    else:
        tar = tarfile.open(archive)
    with tar:
        return tar.extractfile(member).read()


def member_text(archive: Path, member: str) -> str:
    """A file's text from inside a kit, whatever the kit's format."""
    return member_bytes(archive, member).decode()


class KitTest(unittest.TestCase):
    def setUp(self) -> None:
        self.tmp = Path(tempfile.mkdtemp(prefix="quarn-kit-"))
        self.addCleanup(shutil.rmtree, self.tmp)

    def run_ok(self, *command: object, **kwargs) -> str:
        kwargs.setdefault("env", clean_env())
        result = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                                **kwargs)
        self.assertEqual(result.returncode, 0, f"{' '.join(map(str, command))} failed:\n"
                                               f"{result.stdout}\n{result.stderr}")
        return result.stdout

    def unpack(self, name: str) -> Path:
        """Unpacks a tarball or zip; returns the directory at its top."""
        shutil.unpack_archive(kit(name), self.tmp / name)
        (top,) = (self.tmp / name).iterdir()
        return top

    def assert_windows_dll(self, directory: Path, arch: str, *checks: str) -> None:
        """directory/QuarnInterface.dll is built for arch and passes the test
        suite's static checks of the DLL (tests/windows/check_dll.py)."""
        triplet, file_format = WINDOWS[arch]
        dll = directory / "QuarnInterface.dll"
        self.assertIn(f"file format {file_format}", self.run_ok(f"{triplet}-objdump", "-f", dll))
        for check in checks:
            self.run_ok(sys.executable, CHECK_DLL, check, "--binutils-prefix", f"{triplet}-",
                        "--build-dir", directory, "--header", HEADER, "--def", DEF_FILE)

    def build_cmake_consumer(self, name: str, *options: str) -> Path:
        build = self.tmp / name
        self.run_ok("cmake", "-S", CONSUMER, "-B", build, "-DCMAKE_BUILD_TYPE=Release", *options)
        self.run_ok("cmake", "--build", build)
        return build

    def build_pkg_config_consumer(self, pc_dir: Path, compiler: str, output: Path) -> Path:
        """Builds the consumer with the flags the kit's .pc gives; returns its libdir,
        which must lie inside the kit."""
        env = clean_env(PKG_CONFIG_PATH=str(pc_dir))
        flags = self.run_ok("pkg-config", "--cflags", "--libs", "QuarnInterface", env=env)
        libdir = self.run_ok("pkg-config", "--variable=libdir", "QuarnInterface", env=env)
        libdir = Path(libdir.strip()).resolve()
        self.assertTrue(libdir.is_relative_to(pc_dir.parents[1].resolve()), libdir)
        self.run_ok(compiler, "-std=c99", "-Wall", "-Werror", CONSUMER / "stream_consumer.c",
                    *flags.split(), "-o", output)
        return libdir

    def assert_decodes_the_stream(self, program: Path, **env: str) -> None:
        result = self.tmp / f"{program.name}.result"
        self.run_ok(program, STREAM, result, env=clean_env(**env))
        self.assertEqual(result.read_text().splitlines(), EXPECTED)


class DebianPackagesTest(KitTest):
    # lintian's warnings that these packages accept, and why.
    ACCEPTED_WARNINGS = {
        # CPack writes a postinst and postrm that run ldconfig, and offers no
        # way to leave them out; the package also activates the ldconfig
        # trigger, and running ldconfig twice is harmless.
        "maintscript-calls-ldconfig",
    }

    def depends(self, deb: str) -> list[str]:
        field = self.run_ok("dpkg-deb", "--field", kit(deb), "Depends")
        return [clause.strip() for clause in field.split(",") if clause.strip()]

    def test_lintian_finds_no_errors_and_no_new_warnings(self):
        # lintian fails on errors and only reports warnings.
        report = self.run_ok("lintian", *map(kit, DEBS))
        warnings = set(re.findall(r"^W: \S+: (\S+)", report, re.MULTILINE))
        self.assertLessEqual(warnings, self.ACCEPTED_WARNINGS, report)

    def test_descriptions_end_their_sentences(self):
        for deb in DEBS:
            with self.subTest(deb):
                field = self.run_ok("dpkg-deb", "--field", kit(deb), "Description")
                summary, *extended = field.splitlines()
                self.assertFalse(summary.endswith("."), summary)
                paragraphs = " ".join(line.strip() for line in extended).split(" . ")
                self.assertTrue(all(p.endswith(".") for p in paragraphs), paragraphs)
                # A program's name starts a sentence of its own.
                for name in re.findall(r"\bquarn-\w+", " ".join(extended)):
                    self.assertRegex(" ".join(paragraphs), rf"(^|\. ){name} ")

    def test_dependencies_are_declared_and_met(self):
        exact_runtime = f"libquarninterface1 (= {V})"
        self.assertEqual(self.depends(DEV_DEB), [exact_runtime])
        tools = self.depends(TOOLS_DEB)
        self.assertIn(exact_runtime, tools)
        self.assertTrue(any(c.startswith("libhidapi-hidraw0 ") for c in tools), tools)
        self.assertIn("python3", tools)  # quarn-console
        self.assertEqual(self.run_ok("dpkg-deb", "--info", kit(RUNTIME_DEB), "shlibs"),
                         f"libQuarnInterface 1 libquarninterface1 (>= {V})\n")

        # dpkg -i would take the three together: each dependency is one of
        # them, or installed here at a version that meets it.
        ours = {"libquarninterface1": V, "libquarninterface-dev": V, "quarninterface-tools": V}
        for deb in DEBS:
            for clause in self.depends(deb):
                with self.subTest(deb=deb, depends=clause):
                    name, relation, wanted = re.fullmatch(
                        r"([\w.+-]+)(?: \((=|>=|<=|>>|<<) (\S+)\))?", clause).groups()
                    have = ours.get(name) or subprocess.run(
                        ["dpkg-query", "--show", "--showformat=${Version}", name],
                        capture_output=True, text=True).stdout
                    self.assertTrue(have, f"nothing provides {name}")
                    if relation:
                        self.run_ok("dpkg", "--compare-versions", have,
                                    DPKG_RELATIONS[relation], wanted)

    def test_consumers_build_against_the_installed_files_and_the_tools_run(self):
        root = self.tmp / "root"
        for deb in DEBS:
            self.run_ok("dpkg-deb", "--extract", kit(deb), root)
        usr = root / "usr"
        libdir = usr / "lib" / self.run_ok("dpkg-architecture", "-qDEB_HOST_MULTIARCH").strip()
        # After dpkg -i the loader finds the library in the multiarch
        # directory by itself; in the scratch root it is told where that is.
        loader = {"LD_LIBRARY_PATH": str(libdir)}

        build = self.build_cmake_consumer("cmake", f"-DCMAKE_PREFIX_PATH={usr}")
        self.assert_decodes_the_stream(build / "quarn-stream-consumer", **loader)
        program = self.tmp / "pkg-config-consumer"
        self.assertEqual(self.build_pkg_config_consumer(libdir / "pkgconfig", "cc", program),
                         libdir)
        self.assert_decodes_the_stream(program, **loader)
        for tool in ("quarn-monitor", "quarn-sim", "quarn-console"):
            self.run_ok(usr / "bin" / tool, "--help", env=clean_env(**loader))


class LinuxTarballTest(KitTest):
    def test_unpacked_anywhere_the_tools_run_and_consumers_build(self):
        tree = self.unpack(TARBALL)
        # quarn-monitor must find the tree's own library through its RUNPATH,
        # not a copy that happens to be installed on this machine.
        ldd = self.run_ok("ldd", tree / "bin" / "quarn-monitor")
        resolved = re.search(r"libQuarnInterface\.so\.1 => (/\S+)", ldd)
        self.assertIsNotNone(resolved, f"quarn-monitor misses libQuarnInterface.so.1:\n{ldd}")
        self.assertEqual(Path(resolved.group(1)).resolve(),
                         (tree / "lib" / "libQuarnInterface.so.1").resolve())
        for tool in ("quarn-monitor", "quarn-sim", "quarn-console"):
            self.run_ok(tree / "bin" / tool, "--help")

        build = self.build_cmake_consumer("cmake", f"-DCMAKE_PREFIX_PATH={tree}")
        # CMake gives the program a RUNPATH to the imported library.
        self.assert_decodes_the_stream(build / "quarn-stream-consumer")
        program = self.tmp / "pkg-config-consumer"
        libdir = self.build_pkg_config_consumer(tree / "lib" / "pkgconfig", "cc", program)
        self.assert_decodes_the_stream(program, LD_LIBRARY_PATH=str(libdir))


class WindowsZipsTest(KitTest):
    def test_both_dlls_pass_the_static_checks_with_their_import_libraries(self):
        for arch, name in ZIPS.items():
            with self.subTest(arch):
                tree = self.unpack(name)
                for doc in ("README.txt", "examples/replay_demo.c", "lib/QuarnInterface.def"):
                    self.assertTrue((tree / doc).is_file(), f"{name} lacks {doc}")
                # The import-library check looks for both libraries beside the DLL.
                for implib in ("QuarnInterface.lib", "libQuarnInterface.dll.a"):
                    shutil.copy(tree / "lib" / implib, tree / "bin")
                self.assert_windows_dll(tree / "bin", arch, "exports", "imports", "implibs",
                                        "version")

    def test_cmake_package_links_each_toolchain_with_its_import_library(self):
        tree = self.unpack(ZIPS["win64"])
        # The package reads only the toolchain's variables, so a project with
        # no language, told it is MSVC or MinGW, shows what each would link.
        project = self.tmp / "toolchains"
        project.mkdir()
        (project / "CMakeLists.txt").write_text(
            "cmake_minimum_required(VERSION 3.16)\n"
            "project(ImportLibraryView NONE)\n"
            "set(WIN32 1)\nset(MSVC ${AS_MSVC})\n"
            "find_package(QuarnInterface REQUIRED)\n"
            "get_target_property(implib QuarnInterface::QuarnInterface IMPORTED_IMPLIB_RELEASE)\n"
            'file(WRITE ${CMAKE_BINARY_DIR}/implib.txt "${implib}")\n'
        )
        for as_msvc, implib in ((1, "QuarnInterface.lib"), (0, "libQuarnInterface.dll.a")):
            with self.subTest(msvc=as_msvc):
                build = self.tmp / f"toolchains-{as_msvc}"
                self.run_ok("cmake", "-S", project, "-B", build, f"-DAS_MSVC={as_msvc}",
                            f"-DQuarnInterface_DIR={tree}/lib/cmake/QuarnInterface")
                named = Path((build / "implib.txt").read_text())
                self.assertEqual(named.resolve(), (tree / "lib" / implib).resolve())

    def test_mingw_consumers_build_and_the_x64_one_decodes_a_stream_under_wine(self):
        win64 = self.unpack(ZIPS["win64"])
        build = self.build_cmake_consumer(
            "mingw-x64",
            f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/toolchain-mingw-x86_64.cmake",
            # The toolchain confines find_package to the MinGW sysroot.
            f"-DQuarnInterface_DIR={win64}/lib/cmake/QuarnInterface",
        )
        # As README.txt says: the DLL goes beside the program.
        shutil.copy(win64 / "bin" / "QuarnInterface.dll", build)
        shutil.copy(STREAM, build)
        self.run_ok(WINE_RUN, WINE_PREFIX, "quarn-stream-consumer.exe", STREAM.name, "result.txt",
                    cwd=build)
        self.assertEqual((build / "result.txt").read_text().splitlines(), EXPECTED)

        # This machine runs no x86 programs: the x86 kit must build and link.
        win32 = self.unpack(ZIPS["win32"])
        program = self.tmp / "consumer-x86.exe"
        self.build_pkg_config_consumer(win32 / "lib" / "pkgconfig", "i686-w64-mingw32-gcc",
                                       program)
        self.assertIn("DLL Name: QuarnInterface.dll",
                      self.run_ok("i686-w64-mingw32-objdump", "-p", program))


class PythonKitsTest(KitTest):
    def test_linux_wheel_installs_offline_and_decodes_with_nothing_set_up(self):
        venv = self.tmp / "venv"
        self.run_ok("/usr/bin/python3", "-m", "venv", venv)
        python = venv / "bin" / "python"
        self.run_ok(python, "-m", "pip", "install", "--no-index", "--quiet", kit(LINUX_WHEEL))
        code = (
            "import sys, quarninterface as qi\n"
            "parser = qi.PortDataParser()\n"
            "with open(sys.argv[1], 'rb') as stream:\n"
            "    while chunk := stream.read(64):\n"
            "        parser.feed(chunk)\n"
            "print(qi.library_path)\n"
            "print('final channels:', *parser.channels)\n"
            "print('final ports:', *parser.ports)\n"
        )
        library, *values = self.run_ok(python, "-c", code, STREAM, cwd=self.tmp).splitlines()
        self.assertEqual(values, EXPECTED)
        # The library inside the package, not one of the system's.
        self.assertTrue(Path(library).resolve().is_relative_to(venv.resolve()), library)

    def test_linux_wheel_library_meets_manylinux_2_17(self):
        library = self.tmp / "libQuarnInterface.so.1"
        with zipfile.ZipFile(kit(LINUX_WHEEL)) as wheel:
            library.write_bytes(wheel.read("quarninterface/libQuarnInterface.so.1"))
        needed = re.findall(r"\(NEEDED\).*\[(.*)\]", self.run_ok("readelf", "-d", library))
        self.assertEqual(needed, ["libc.so.6"])
        versions = re.findall(r"GLIBC_(\d+)\.(\d+)", self.run_ok("objdump", "-T", library))
        self.assertTrue(versions)
        newest = max((int(major), int(minor)) for major, minor in versions)
        self.assertLessEqual(newest, MANYLINUX_GLIBC, f"needs GLIBC_{newest[0]}.{newest[1]}")

    def test_windows_wheels_carry_the_dll_of_their_architecture(self):
        for tag, arch in WINDOWS_WHEELS.items():
            name = f"quarninterface-{V}-py3-none-{tag}.whl"
            with self.subTest(tag), zipfile.ZipFile(kit(name)) as wheel:
                (self.tmp / tag).mkdir()
                dll = wheel.read("quarninterface/QuarnInterface.dll")
                (self.tmp / tag / "QuarnInterface.dll").write_bytes(dll)
                self.assert_windows_dll(self.tmp / tag, arch, "exports", "imports", "version")
                wheel_file = wheel.read(f"quarninterface-{V}.dist-info/WHEEL").decode()
                self.assertIn(f"Tag: py3-none-{tag}\n", wheel_file)

    def test_sdist_is_the_binding_alone(self):
        with tarfile.open(kit(SDIST)) as sdist:
            names = {Path(*Path(name).parts[1:]).as_posix() for name in sdist.getnames()}
        for needed in ("pyproject.toml", "PKG-INFO", "quarninterface/__init__.py",
                       "quarninterface/_library.py", "quarninterface/py.typed"):
            self.assertIn(needed, names)
        self.assertEqual([n for n in names if n.endswith((".so.1", ".dll"))], [])


class NuGetPackageTest(KitTest):
    NUSPEC = "QuarnInterface.Net.nuspec"
    NS = {"n": "http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd"}
    LINUX_NATIVE = "runtimes/linux-x64/native/"
    DLLS = {"win64": "runtimes/win-x64/native/QuarnInterface.dll",
            "win32": "runtimes/win-x86/native/QuarnInterface.dll"}
    LAYOUT = {
        "[Content_Types].xml", "_rels/.rels", NUSPEC, "README.md", "LICENSE.txt",
        "lib/netstandard2.0/QuarnInterface.Net.dll", "lib/netstandard2.0/QuarnInterface.Net.xml",
        "lib/netstandard2.0/QuarnInterface.Net.dll.config",
        LINUX_NATIVE + "libQuarnInterface.so.1", LINUX_NATIVE + "libQuarnInterface.so",
        *DLLS.values(),
    }
    # A Mono program as a user writes it: it decodes the recorded stream in chunks of 64.
    CONSUMER = (
        "using System; using System.IO; using QuarnInterface;\n"
        "static class Consumer { static void Main(string[] args) {\n"
        "  var parser = new PortDataParser(); var data = File.ReadAllBytes(args[0]);\n"
        "  for (var at = 0; at < data.Length; at += 64)\n"
        "    parser.Feed(data, at, Math.Min(64, data.Length - at));\n"
        '  Console.WriteLine("final channels: " + string.Join(" ", parser.Channels));\n'
        '  Console.WriteLine("final ports: " + string.Join(" ", parser.Ports)); } }\n'
    )

    def setUp(self) -> None:
        super().setUp()
        self.package = zipfile.ZipFile(kit(NUPKG))
        self.addCleanup(self.package.close)

    def test_layout_is_a_valid_package_with_sorted_fixed_entries(self):
        names = self.package.namelist()
        self.assertEqual(set(names), self.LAYOUT)
        self.assertEqual(names, sorted(names))
        infos = self.package.infolist()
        self.assertEqual({info.date_time for info in infos}, {infos[0].date_time})
        self.assertEqual({info.external_attr >> 16 for info in infos}, {0o100644})

        # Open Packaging Conventions: a content type for every part, and the manifest
        # relationship pointing at the .nuspec at the root.
        types = ElementTree.fromstring(self.package.read("[Content_Types].xml"))
        defaults = {d.get("Extension") for d in types}
        for name in names:
            if name != "[Content_Types].xml":
                self.assertIn(name.rsplit(".", 1)[1], defaults, name)
        (relationship,) = ElementTree.fromstring(self.package.read("_rels/.rels"))
        self.assertEqual(relationship.get("Target"), "/" + self.NUSPEC)
        self.assertEqual(relationship.get("Type"),
                         "http://schemas.microsoft.com/packaging/2010/07/manifest")

    def test_debian_nuget_client_installs_it_from_a_local_feed(self):
        self.run_ok("nuget", "install", "QuarnInterface.Net", "-Source", DIST, "-OutputDirectory",
                    self.tmp / "packages", "-NonInteractive", env=clean_env(HOME=str(self.tmp)))
        installed = self.tmp / "packages" / f"QuarnInterface.Net.{V}"
        for name in self.LAYOUT - {"[Content_Types].xml", "_rels/.rels", self.NUSPEC}:
            self.assertTrue((installed / name).is_file(), name)

    def test_nuspec_names_the_package_its_version_and_licence(self):
        metadata = ElementTree.fromstring(self.package.read(self.NUSPEC)).find("n:metadata",
                                                                               self.NS)
        field = {child.tag.split("}")[1]: child for child in metadata}
        self.assertEqual(field["id"].text, "QuarnInterface.Net")
        self.assertEqual(field["version"].text, V)
        self.assertEqual(field["license"].get("type"), "expression")
        self.assertEqual(field["license"].text, "MIT")
        self.assertEqual(field["readme"].text, "README.md")
        self.assertIn("QuarnInterface", field["description"].text)
        self.assertEqual(field["authors"].text, LICENSE_HOLDER)
        self.assertNotIn("projectUrl", field)
        (group,) = field["dependencies"]
        self.assertEqual(group.get("targetFramework"), ".NETStandard2.0")

    def test_native_libraries_are_the_kits_own_and_the_dlls_pass_the_static_checks(self):
        with zipfile.ZipFile(kit(ZIPS["win64"])) as win64, \
                zipfile.ZipFile(kit(ZIPS["win32"])) as win32:
            zips = {"win64": win64, "win32": win32}
            for arch, member in self.DLLS.items():
                with self.subTest(arch):
                    dll = self.package.read(member)
                    self.assertEqual(dll, zips[arch].read(
                        f"QuarnInterface-{V}-{arch}/bin/QuarnInterface.dll"))
                    (self.tmp / arch).mkdir()
                    (self.tmp / arch / "QuarnInterface.dll").write_bytes(dll)
                    self.assert_windows_dll(self.tmp / arch, arch, "exports", "imports",
                                            "version")
        library = member_bytes(kit(TARBALL),
                               f"QuarnInterface-{V}-Linux-x86_64/lib/libQuarnInterface.so.{V}")
        for name in ("libQuarnInterface.so.1", "libQuarnInterface.so"):
            self.assertEqual(self.package.read(self.LINUX_NATIVE + name), library, name)

    def test_mono_program_decodes_the_stream_with_the_package_alone(self):
        lib = self.tmp / "lib"
        source = self.tmp / "Consumer.cs"
        source.write_text(self.CONSUMER)
        lib.mkdir()
        for name in self.package.namelist():
            if name.startswith("lib/netstandard2.0/"):
                (lib / Path(name).name).write_bytes(self.package.read(name))
        facade = "/usr/lib/mono/4.5/Facades/netstandard.dll"
        self.run_ok("mcs", f"-r:{lib}/QuarnInterface.Net.dll", f"-r:{facade}",
                    f"-out:{lib}/Consumer.exe", source)
        # Mono reads the dllmap to the SONAME; .NET looks for libQuarnInterface.so, which
        # Mono also tries when there is no dllmap.
        for native, config in (("libQuarnInterface.so.1", True),
                               ("libQuarnInterface.so", False)):
            with self.subTest(native):
                app = self.tmp / native
                shutil.copytree(lib, app)
                if not config:
                    (app / "QuarnInterface.Net.dll.config").unlink()
                (app / native).write_bytes(self.package.read(self.LINUX_NATIVE + native))
                output = self.run_ok("mono", app / "Consumer.exe", STREAM, cwd=self.tmp)
                self.assertEqual(output.splitlines(), EXPECTED)
# ---------------------------------------------------------------------------
# The documentation in each kit
# ---------------------------------------------------------------------------
MARKDOWN_LINK = re.compile(r"\]\(([^)\s]+)\)")


def anchors(page: Path) -> set[str]:
    """The anchors of a page's headings, as the usual Markdown renderers make
    them: lower case, punctuation dropped, spaces as hyphens."""
    headings = re.findall(r"^#+ (.*)$", page.read_text(), re.MULTILINE)
    return {re.sub(r"[^\w\- ]", "", h.lower()).replace(" ", "-") for h in headings}


def broken_links(readme: Path, root: Path) -> list[str]:
    """Every relative link of readme, and of each page it leads to, that
    reaches no file (or no heading) inside root."""
    broken, seen, pages = [], set(), [readme.resolve()]
    while pages:
        page = pages.pop()
        if page in seen:
            continue
        seen.add(page)
        for target in MARKDOWN_LINK.findall(page.read_text()):
            if re.match(r"[a-z]+:", target):
                continue  # a web address
            path, _, anchor = target.partition("#")
            linked = (page.parent / path).resolve() if path else page
            where = f"{page.relative_to(root)}: {target}"
            if not linked.is_relative_to(root.resolve()) or not linked.exists():
                broken.append(f"{where} (no such file in the kit)")
            elif linked.suffix == ".md":
                if anchor and anchor not in anchors(linked):
                    broken.append(f"{where} (no such heading)")
                pages.append(linked)
    return broken


class DocumentationTest(KitTest):
    def extract_deb(self, deb: str) -> Path:
        root = self.tmp / deb
        self.run_ok("dpkg-deb", "--extract", kit(deb), root)
        return root

    def test_every_link_of_each_kits_readme_reaches_a_file_of_that_kit(self):
        tarball = self.unpack(TARBALL)
        readmes = {TARBALL: (tarball, tarball / "share/doc/QuarnInterface/README.md")}
        for deb, package in ((DEV_DEB, "libquarninterface-dev"),
                             (TOOLS_DEB, "quarninterface-tools")):
            root = self.extract_deb(deb)
            readmes[deb] = (root, root / f"usr/share/doc/{package}/README.md")
        for name in ZIPS.values():
            top = self.unpack(name)
            readmes[name] = (top, top / "README.md")
        for name, (root, readme) in readmes.items():
            with self.subTest(name):
                self.assertTrue(readme.is_file(), f"{name} has no {readme.relative_to(root)}")
                self.assertEqual(broken_links(readme, root), [])
                # The pages the tools' help and manual pages name.
                self.assertTrue((readme.parent / "docs" / "tools.md").is_file())

    def test_readme_txt_lists_files_of_its_zip(self):
        for name in ZIPS.values():
            with self.subTest(name):
                top = self.unpack(name)
                listing = windows_sections((top / "README.txt").read_text())["What is in this zip"]
                listed = re.findall(r"^  (\S+)", listing, re.MULTILINE)
                self.assertGreater(len(listed), 10, listing)
                for path in listed:
                    self.assertTrue((top / path.rstrip(",")).exists(), f"{name} lacks {path}")

    def test_each_program_has_its_manual_page(self):
        tarball = self.unpack(TARBALL)
        tools = self.extract_deb(TOOLS_DEB)
        for root, bindir, mandir in ((tarball, "bin", "share/man/man1"),
                                     (tools, "usr/bin", "usr/share/man/man1")):
            programs = sorted(p.name for p in (root / bindir).iterdir())
            self.assertGreaterEqual(len(programs), 2)
            for program in programs:
                with self.subTest(root=root.name, program=program):
                    page = root / mandir / f"{program}.1.gz"
                    self.assertTrue(page.is_file(), f"{root.name} lacks {mandir}/{program}.1.gz")
                    shown = subprocess.run(["man", "--warnings", "-l", page], capture_output=True,
                                           text=True, env=clean_env(MANPAGER="cat", LC_ALL="C"))
                    self.assertEqual((shown.returncode, shown.stderr), (0, ""))
                    self.assertRegex(shown.stdout, rf"NAME\n +{re.escape(program)} +- ")


# ---------------------------------------------------------------------------
# The Windows zips' README.txt, run as written
# ---------------------------------------------------------------------------
def windows_sections(text: str) -> dict[str, str]:
    """README.txt's sections: a heading underlined with dashes, to the next."""
    parts = re.split(r"^(\S.*)\n-+\n", text, flags=re.MULTILINE)
    return dict(zip(parts[1::2], parts[2::2]))


def missing_windows_paths(commands: list[str], top: Path) -> list[str]:
    """The words of cmd.exe commands that name a path in %QI%, the folder
    top, which is not there."""
    missing = []
    for command in commands:
        for word in command.split():
            value = word.partition("=")[2] if word.startswith("-D") else word
            path = value.replace("%QI%", ".").replace("\\", "/")
            if "%QI%" in value and not (top / path).exists():
                missing.append(f"{command}: {value}")
    return missing


def windows_commands(section: str) -> list[str]:
    """The commands of a section: its two-space-indented lines, without the
    lines of CMake code it shows."""
    lines = re.findall(r"^  (\S.*)$", section, re.MULTILINE)
    return [line for line in lines if not re.match(r"\w+\(", line)]


class WindowsInstructionsTest(KitTest):
    def test_msvc_commands_name_files_of_the_zip(self):
        # cl does not run here: each path the commands name must exist.
        for arch, name in ZIPS.items():
            with self.subTest(arch):
                top = self.unpack(name)
                commands = windows_commands(
                    windows_sections((top / "README.txt").read_text())["MSVC"])
                self.assertEqual(commands[0], f"set QI=%CD%\\{top.name}")
                self.assertEqual(missing_windows_paths(commands[1:], top), [])
                self.assertTrue(any(c.startswith("cl ") for c in commands), commands)

    def test_mingw_commands_build_and_the_x64_programs_decode_the_stream_under_wine(self):
        for arch, name in ZIPS.items():
            with self.subTest(arch):
                top = self.unpack(name)
                section = windows_sections((top / "README.txt").read_text())["MinGW-w64"]
                out = self.run_windows_commands(windows_commands(section), top.parent, arch)
                if arch == "win64":
                    # Each program prints the final values it decoded.
                    self.assertEqual(out.count(EXPECTED[0] + "\n"), 2, out)
                    self.assertEqual(out.count(EXPECTED[1] + "\n"), 2, out)

    def run_windows_commands(self, commands: list[str], cwd: Path, arch: str) -> str:
        """Runs commands for an MSYS2 shell as written, in one shell: gcc is
        the MinGW cross compiler of the arch, and ./program.exe runs under
        Wine (x64) or is checked to be an x86 program of the DLL (x86, as
        this machine runs no x86 programs). Returns the programs' output."""
        triplet, file_format = WINDOWS[arch]
        shims = [f'gcc() {{ {triplet}-gcc "$@"; }}']
        for program in sorted(set(re.findall(r"^(\./\w+\.exe)", "\n".join(commands), re.M))):
            if arch == "win64":
                shims.append(f'{program}() {{ "{WINE_RUN}" "{WINE_PREFIX}" {program} "$@"; }}')
            else:
                shims.append(
                    f"{program}() {{ {triplet}-objdump -p {program} | grep -q 'DLL Name: "
                    f"QuarnInterface.dll' && {triplet}-objdump -f {program} | grep -q "
                    f"'{file_format}'; }}")
        script = "set -e\n" + "\n".join(shims + commands) + "\n"
        return self.run_ok("bash", "-c", script, cwd=cwd)


# ---------------------------------------------------------------------------
# The commands of README.md and docs/ that take the kits, run as written
# (tests/docs/doc_commands.py says where every other command runs)
# ---------------------------------------------------------------------------
# Each runner of DocCommandsTest, with the commands it runs, in order.
DOC_RUNNERS = {
    "tarball": [
        "tar -xzf QuarnInterface-1.0.0-Linux-x86_64.tar.gz",
        "QuarnInterface-1.0.0-Linux-x86_64/bin/quarn-monitor --simulate",
        "cmake -S my_host -B build -DCMAKE_PREFIX_PATH=$PWD/QuarnInterface-1.0.0-Linux-x86_64",
        "cc host.c $(pkg-config --cflags --libs QuarnInterface) -o host",
    ],
    "msvc": [
        "set QI=%CD%\\QuarnInterface-1.0.0-win64",
        "cl /I %QI%\\include host.c %QI%\\lib\\QuarnInterface.lib",
        "copy %QI%\\bin\\QuarnInterface.dll .",
    ],
    "mingw": [
        "QI=$PWD/QuarnInterface-1.0.0-win64",
        "gcc -I $QI/include host.c $QI/lib/libQuarnInterface.dll.a -o host.exe",
    ],
    "mingw_from_a_build": [
        "x86_64-w64-mingw32-gcc -Ipath/to/include host.c path/to/libQuarnInterface.dll.a"
        " -o host.exe",
    ],
    "objdump": [
        "x86_64-w64-mingw32-objdump -p build/windows-x64/QuarnInterface.dll",
        "i686-w64-mingw32-objdump -p build/windows-x86/QuarnInterface.dll",
    ],
    "npm": ["npm install ./quarninterface-1.0.0.tgz"],
    "console": ["quarn-console", "quarn-console --port 9000 --no-browser"],
    "web_kit": ["unzip quarninterface-web-1.0.0.zip"],
    "python": [
        "python3 -m venv .venv",
        ".venv/bin/pip install quarninterface-1.0.0-py3-none-manylinux_2_17_x86_64.whl",
        '.venv/bin/python -c "import quarninterface as qi; print(qi.library_path)"',
        "pip install quarninterface-1.0.0-py3-none-manylinux_2_17_x86_64.whl",
    ],
}
DOC_COMMANDS = {command: runner for runner, commands in DOC_RUNNERS.items()
                for command in commands}
# What the commands need that the docs leave to the user: a host program,
# and pip without the network.
HOST = ROOT / "examples" / "exchange_demo.c"
OFFLINE = {"PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1"}


class ConsoleClient(unittest.TestCase):
    """Starts quarn-console, fetches from it and stops it as a user does."""

    def start(self, program: Path, *args: str, **env: str) -> tuple[subprocess.Popen, int]:
        """Starts the console; returns it and the port of the address it printed."""
        process = subprocess.Popen([program, *args], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, env=clean_env(**env))
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.communicate()))
        ready, _, _ = select.select([process.stdout], [], [], 20)
        line = process.stdout.readline() if ready else ""
        address = re.search(r"http://127\.0\.0\.1:(\d+)/", line)
        if not address:
            process.kill()
            self.fail(f"no address printed: {line!r} {process.communicate()}")
        return process, int(address.group(1))

    def stop(self, process: subprocess.Popen) -> str:
        """Ctrl-C: the console ends with exit code 0; returns its standard error."""
        process.send_signal(signal.SIGINT)
        _, stderr = process.communicate(timeout=20)
        self.assertEqual(process.returncode, 0, stderr)
        return stderr

    def get(self, port: int, path: str) -> tuple[bytes, str]:
        """The file's bytes and type; the console has every response revalidated."""
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/{path}", timeout=20) as response:
            self.assertEqual(response.headers["Cache-Control"], "no-cache")
            return response.read(), response.headers["Content-Type"]


class DocCommandsTest(ConsoleClient, KitTest):
    def shell(self, command: str, cwd: Path, **env: str) -> str:
        return self.run_ok("bash", "-c", command, cwd=cwd, env=clean_env(**env))

    def assert_ends_on_the_stream_values(self, output: str) -> None:
        self.assertEqual(output.splitlines()[-2:], EXPECTED, output)

    def tarball(self, user: Path, unpack: str, simulate: str, configure: str, compile: str):
        self.shell(unpack, user)
        monitor = subprocess.Popen(["bash", "-c", "exec " + simulate], cwd=user, env=clean_env(),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        time.sleep(1.5)
        self.assertIsNone(monitor.poll(), "the simulated session ended by itself")
        monitor.send_signal(signal.SIGINT)  # Ctrl-C ends it
        out, err = monitor.communicate(timeout=60)
        self.assertEqual((monitor.returncode, err), (0, ""))
        self.assertRegex(out, r"frames_decoded=[1-9]")

        shutil.copytree(CONSUMER, user / "my_host")
        self.shell(configure, user)
        self.run_ok("cmake", "--build", user / "build")
        self.assert_decodes_the_stream(user / "build" / "quarn-stream-consumer")

        tree = user / "QuarnInterface-1.0.0-Linux-x86_64"
        shutil.copy(HOST, user / "host.c")
        self.shell(compile, user, PKG_CONFIG_PATH=str(tree / "lib" / "pkgconfig"))
        out = self.run_ok(user / "host", STREAM, env=clean_env(LD_LIBRARY_PATH=str(tree / "lib")))
        self.assert_ends_on_the_stream_values(out)

    def msvc(self, user: Path, *commands: str):
        # cl does not run here: the folder set is the zip's, and every path
        # the commands name is in it.
        top = self.unpack(ZIPS["win64"])
        self.assertEqual(commands[0], f"set QI=%CD%\\{top.name}")
        self.assertEqual(missing_windows_paths(commands[1:], top), [])

    def mingw(self, user: Path, set_qi: str, compile: str):
        shutil.unpack_archive(kit(ZIPS["win64"]), user)
        shutil.copy(HOST, user / "host.c")
        self.shell(f'gcc() {{ x86_64-w64-mingw32-gcc "$@"; }}\n{set_qi}\n{compile}', user)
        shutil.copy(user / "QuarnInterface-1.0.0-win64" / "bin" / "QuarnInterface.dll", user)
        self.assert_ends_on_the_stream_values(
            self.run_ok(WINE_RUN, WINE_PREFIX, "host.exe", STREAM, cwd=user))

    def mingw_from_a_build(self, user: Path, compile: str):
        # path/to stands for the build directory, which holds the DLL, its
        # import library and (for the page) the header's directory.
        top = self.unpack(ZIPS["win64"])
        where = user / "path" / "to"
        shutil.copytree(top / "include", where / "include")
        shutil.copy(top / "lib" / "libQuarnInterface.dll.a", where)
        shutil.copy(HOST, user / "host.c")
        self.shell(compile, user)
        self.assertIn("DLL Name: QuarnInterface.dll",
                      self.run_ok("x86_64-w64-mingw32-objdump", "-p", user / "host.exe"))

    def objdump(self, user: Path, *commands: str):
        # The released DLLs where the commands look for a build's.
        for arch, command in zip(("win64", "win32"), commands):
            dll = re.search(r"(build/\S+\.dll)", command).group(1)
            (user / dll).parent.mkdir(parents=True)
            shutil.copy(self.unpack(ZIPS[arch]) / "bin" / "QuarnInterface.dll", user / dll)
            out = self.shell(command, user)
            self.assertIn("DLL Name: KERNEL32.dll", out)
            self.assertIn("stop_upload_port_data", out)

    def python(self, user: Path, make: str, install: str, show: str, pip_install: str):
        self.shell(make, user)
        self.shell(install, user, **OFFLINE)
        library = Path(self.shell(show, user).strip())
        self.assertTrue(library.is_absolute(), library)
        self.assertEqual(library, library.resolve())
        self.assertTrue(library.is_relative_to((user / ".venv").resolve()), library)
        # The README's pip, as a user runs it: that of the active environment
        # (the same one, with the package taken out again; a new one costs
        # 20 s here).
        self.shell(".venv/bin/pip uninstall --yes --quiet quarninterface", user)
        path = f"{user / '.venv' / 'bin'}{os.pathsep}{os.environ['PATH']}"
        self.shell(pip_install, user, PATH=path, **OFFLINE)
        self.assertEqual(self.shell(show, user).strip(), str(library))

    def npm(self, user: Path, install: str):
        # As written, with npm kept off the network; then the page's example,
        # in an ES module beside the recording it reads.
        self.shell(install, user, HOME=str(user), npm_config_offline="true",
                   npm_config_audit="false", npm_config_fund="false",
                   npm_config_update_notifier="false")
        page = (ROOT / "docs" / "install.md").read_text()
        example = re.search(r"\n```sh\n" + re.escape(install) + r"\n```\n.*?\n```js\n(.*?)```",
                            page, re.S).group(1)
        (user / "example.mjs").write_text(example)
        shutil.copy(STREAM, user / "device-stream.bin")
        out = self.run_ok("node", "example.mjs", cwd=user)
        # console.log shows channels first: "Uint16Array(12) [ 1078, 821, ... ]".
        values = re.findall(r"\d+", re.search(r"\[([^\]]*)\]", out).group(1))
        self.assertEqual("final channels: " + " ".join(map(str, values)), EXPECTED[0], out)

    def console(self, user: Path, default: str, other_port: str):
        # From the tarball's bin/ on PATH, as after an install; xdg-open is a
        # stand-in that notes the address it was given.
        tree = self.unpack(TARBALL)
        opened = user / "opened"
        (user / "xdg-open").write_text(f'#!/bin/sh\necho "$@" >>{opened}\n')
        (user / "xdg-open").chmod(0o755)
        path = f"{user}{os.pathsep}{tree / 'bin'}{os.pathsep}{os.environ['PATH']}"
        for command in (default, other_port):
            process, port = self.start("bash", "-c", "exec " + command, PATH=path, DISPLAY=":99")
            self.assertTrue(self.get(port, "")[0].startswith(b"<!doctype html>"))
            self.stop(process)
            if "--port" in command:
                self.assertEqual(port, int(command.split("--port ")[1].split()[0]))
            else:
                self.assertGreaterEqual(port, CONSOLE_DEFAULT_PORT)
                self.assertEqual(opened.read_text(), f"http://127.0.0.1:{port}/\n")

    def web_kit(self, user: Path, unzip: str):
        self.shell(unzip, user)
        # The page the tools kits serve, with the licence beside it.
        unzipped = page_files(user / WEB_TOP)
        self.assertEqual(unzipped.pop("LICENSE"), LICENSE.encode())
        self.assertEqual(unzipped, page_files(self.unpack(TARBALL) / CONSOLE_PAGE))

    def test_every_command_given_to_the_kits_runs_as_written(self):
        for runner, commands in DOC_RUNNERS.items():
            with self.subTest(runner):
                user = self.tmp / f"user-{runner}"
                user.mkdir()
                for path in DIST.iterdir():
                    (user / path.name).symlink_to(path)
                getattr(self, runner)(user, *commands)
class UdevTemplateTest(KitTest):
    """The tools kits carry the udev rule template where udev does not read it."""

    def test_the_tools_kits_carry_the_template_inactive(self):
        template = (ROOT / "tools" / "udev" / "72-quarninterface.rules").read_text()
        places = {
            TOOLS_DEB: "./usr/share/quarninterface/udev/72-quarninterface.rules",
            TARBALL: f"QuarnInterface-{V}-Linux-x86_64/share/quarninterface/udev/"
                     "72-quarninterface.rules",
        }
        for name, member in places.items():
            with self.subTest(name):
                self.assertEqual(member_text(kit(name), member), template)
        # Active rules live in /etc/udev, /lib/udev or /usr/lib/udev: none is there.
        listing = self.run_ok("dpkg-deb", "--contents", kit(TOOLS_DEB))
        self.assertNotRegex(listing, r"/udev/rules\.d/")
        with tarfile.open(kit(TARBALL)) as tar:
            self.assertEqual([n for n in tar.getnames() if "rules.d" in n], [])
        # A template: every rule waits for the VID:PID to be filled in.
        rules = [line for line in template.replace("\\\n", "").splitlines()
                 if line and not line.startswith(("#", "ACTION", "LABEL"))]
        self.assertTrue(rules)
        for rule in rules:
            self.assertRegex(rule, r'ATTRS\{idVendor\}=="VVVV",\s+ATTRS\{idProduct\}=="PPPP"')


class DistTest(KitTest):
    def test_every_kit_carries_the_licence(self):
        places = {
            RUNTIME_DEB: "./usr/share/doc/libquarninterface1/copyright",
            DEV_DEB: "./usr/share/doc/libquarninterface-dev/copyright",
            TOOLS_DEB: "./usr/share/doc/quarninterface-tools/copyright",
            TARBALL: f"QuarnInterface-{V}-Linux-x86_64/share/doc/QuarnInterface/LICENSE",
            ZIPS["win64"]: f"QuarnInterface-{V}-win64/LICENSE.txt",
            ZIPS["win32"]: f"QuarnInterface-{V}-win32/LICENSE.txt",
            SDIST: f"quarninterface-{V}/LICENSE",
            NPM_PACKAGE: "package/LICENSE",
            NUPKG: "LICENSE.txt",
            WEB_ZIP: f"{WEB_TOP}/LICENSE",
        } | {wheel: f"quarninterface-{V}.dist-info/LICENSE" for wheel in WHEELS}
        for name, member in places.items():
            with self.subTest(name):
                text = member_text(kit(name), member)
                self.assertIn(LICENSE_TERMS, normalized(text))
                self.assertIn(LICENSE_HOLDER, text)
        for wheel in WHEELS:
            metadata = member_text(kit(wheel), f"quarninterface-{V}.dist-info/METADATA")
            self.assertIn("License: MIT\n", metadata)

    def test_dist_holds_every_kit_and_their_checksums(self):
        kits = {*DEBS, TARBALL, SDIST, *ZIPS.values(), *WHEELS, NPM_PACKAGE, NUPKG, WEB_ZIP}
        self.assertEqual({path.name for path in DIST.iterdir()}, kits | {"SHA256SUMS"})
        sums = kit("SHA256SUMS").read_text().splitlines()
        self.assertEqual({line.split(maxsplit=1)[1] for line in sums}, kits)
        self.run_ok("sha256sum", "--check", "--quiet", "SHA256SUMS", cwd=DIST)


# ---------------------------------------------------------------------------
# The web console: the web kit, and quarn-console with the page in the tools
# kits
# ---------------------------------------------------------------------------
CONSOLE_PAGE = Path("share", "quarninterface", "web")
CONSOLE_DEFAULT_PORT = 8000
# Relative references: index.html's src and href, the scripts' module imports
# and URLs resolved against the module.
HTML_REFERENCE = re.compile(r'\b(?:src|href)="([^"#:]+)"')
SCRIPT_REFERENCE = re.compile(r"""(?:\bfrom|\bimport\(?|new URL\()\s*['"](\.\.?/[^'"]+)['"]""")


def page_files(top: Path) -> dict[str, bytes]:
    return {path.relative_to(top).as_posix(): path.read_bytes()
            for path in sorted(top.rglob("*")) if path.is_file()}


def loopback_socket(port: int) -> socket.socket:
    """A socket bound to 127.0.0.1:port as a server binds it: a connection
    that an earlier server left waiting (TIME_WAIT) does not take the port."""
    bound = socket.socket()
    bound.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        bound.bind(("127.0.0.1", port))
    except OSError:
        bound.close()
        raise
    return bound


def port_is_taken(port: int) -> bool:
    try:
        loopback_socket(port).close()
    except OSError:
        return True
    return False


class WebKitTest(KitTest):
    def test_zip_is_the_page_under_one_folder_as_the_tools_kits_install_it(self):
        with zipfile.ZipFile(kit(WEB_ZIP)) as web_zip:
            self.assertEqual({name.split("/")[0] for name in web_zip.namelist()}, {WEB_TOP})
        page = page_files(self.unpack(WEB_ZIP))
        for needed in ("index.html", "js/quarninterface/QuarnInterface.wasm", "LICENSE"):
            self.assertIn(needed, page)
        del page["LICENSE"]
        self.assertEqual(page_files(self.unpack(TARBALL) / CONSOLE_PAGE), page)
        root = self.tmp / "root"
        self.run_ok("dpkg-deb", "--extract", kit(TOOLS_DEB), root)
        self.assertEqual(page_files(root / "usr" / CONSOLE_PAGE), page)

    def test_every_file_the_page_refers_to_is_in_the_kit(self):
        page = page_files(self.unpack(WEB_ZIP))
        missing = []
        for name, content in page.items():
            pattern = {".html": HTML_REFERENCE, ".js": SCRIPT_REFERENCE}.get(Path(name).suffix)
            for reference in pattern.findall(content.decode()) if pattern else ():
                target = os.path.normpath(Path(name).parent / reference)
                if target not in page:
                    missing.append(f"{name} -> {reference}")
        self.assertTrue(any(name.endswith(".js") for name in page), sorted(page))
        self.assertEqual(missing, [])


class ConsoleTest(ConsoleClient, KitTest):
    """quarn-console from the unpacked tarball, as users start it."""

    def console(self) -> Path:
        return self.unpack(TARBALL) / "bin" / "quarn-console"

    def test_serves_every_file_of_the_page_on_loopback_only_until_ctrl_c(self):
        console = self.console()
        page = page_files(console.parents[1] / CONSOLE_PAGE)
        process, port = self.start(console, "--no-browser")
        self.assertEqual(self.get(port, "")[0], page["index.html"])
        # Browsers run module scripts only with a JavaScript type.
        types = {".js": {"text/javascript", "application/javascript"}, ".html": {"text/html"}}
        for name, content in page.items():
            with self.subTest(name):
                served, content_type = self.get(port, name)
                self.assertEqual(served, content)
                if Path(name).suffix in types:
                    self.assertIn(content_type.split(";")[0], types[Path(name).suffix])
        # A server on every address (IPv4's or IPv6's, which takes IPv4 too)
        # would answer on any loopback address.
        with socket.socket() as other:
            self.assertNotEqual(other.connect_ex(("127.0.0.2", port)), 0)
        self.assertEqual(self.stop(process), "")

    def test_ctrl_c_while_requests_arrive_ends_it(self):
        process, port = self.start(self.console(), "--no-browser")
        stopped = threading.Event()

        def load() -> None:
            while not stopped.is_set():
                try:
                    self.get(port, "js/main.js")
                except (OSError, AssertionError):
                    pass  # the server has gone, or went while answering

        loaders = [threading.Thread(target=load) for _ in range(4)]
        for loader in loaders:
            loader.start()
        time.sleep(0.3)
        try:
            self.stop(process)
        finally:
            stopped.set()
            for loader in loaders:
                loader.join()

    def test_default_port_taken_gives_the_next_free_one(self):
        for port in (CONSOLE_DEFAULT_PORT, CONSOLE_DEFAULT_PORT + 1):
            try:
                holder = loopback_socket(port)
            except OSError:
                continue  # taken by something else, which serves the test as well
            self.addCleanup(holder.close)
            holder.listen()
        process, port = self.start(self.console(), "--no-browser")
        self.assertGreater(port, CONSOLE_DEFAULT_PORT + 1)
        self.assertEqual([p for p in range(CONSOLE_DEFAULT_PORT, port) if not port_is_taken(p)],
                         [])
        self.assertTrue(self.get(port, "")[0].startswith(b"<!doctype html>"))
        self.stop(process)

    def test_bad_or_busy_port_is_one_line_and_exit_code_2(self):
        console = self.console()
        with loopback_socket(0) as holder:
            holder.listen()
            busy = str(holder.getsockname()[1])
            cases = {  # arguments -> what the one line says
                ("--port", "abc"): "--port: 'abc' is not a whole number; expected a port from 1 to",
                ("--port", ""): "--port: '' is not a whole number",
                ("--port", "0"): "--port: '0' is out of range",
                ("--port", "65536"): "--port: '65536' is out of range",
                ("--port", "-1"): "--port: '-1' is out of range",
                ("--port", busy): f"--port {busy}: cannot listen on 127.0.0.1:{busy}: Address "
                                  "already in use",
                ("--port",): "--port: expected one argument",
                ("--bogus",): "unrecognized arguments: --bogus",
            }
            for arguments, message in cases.items():
                with self.subTest(arguments):
                    result = subprocess.run([console, *arguments], capture_output=True, text=True,
                                            env=clean_env(), timeout=20)
                    self.assertEqual(result.returncode, 2)
                    self.assertEqual(result.stdout, "")
                    self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                    self.assertIn(f"quarn-console: {message}", result.stderr)

    def test_without_its_page_it_says_so_with_exit_code_3(self):
        moved = self.tmp / "bin" / "quarn-console"
        moved.parent.mkdir()
        shutil.copy(self.console(), moved)
        result = subprocess.run([moved, "--no-browser"], capture_output=True, text=True,
                                env=clean_env(), timeout=20)
        self.assertEqual(result.returncode, 3)
        self.assertEqual(result.stderr, "quarn-console: the web console's page is missing: no "
                                        f"{self.tmp / CONSOLE_PAGE / 'index.html'}\n")

    def test_opens_the_address_with_xdg_open_unless_no_browser(self):
        console = self.console()
        opened = self.tmp / "opened"
        fake = self.tmp / "bin" / "xdg-open"
        fake.parent.mkdir()
        # Notes what it was asked to open, then fails as xdg-open does
        # without a browser.
        fake.write_text(f'#!/bin/sh\necho "$@" >>{opened}\nexit 3\n')
        fake.chmod(0o755)
        env = {"PATH": f"{fake.parent}:{os.environ['PATH']}", "DISPLAY": ":99"}

        process, port = self.start(console, "--no-browser", **env)
        self.get(port, "")
        self.stop(process)
        self.assertFalse(opened.exists())

        process, port = self.start(console, **env)
        self.get(port, "")
        stderr = self.stop(process)
        self.assertEqual(opened.read_text(), f"http://127.0.0.1:{port}/\n")
        self.assertIn("xdg-open could not open a browser (exit status 3)", stderr)

    def test_help_and_version(self):
        console = self.console()
        help_text = self.run_ok(console, "--help")
        # help2man makes the manual page's sections from these headings.
        for part in ("Usage: quarn-console", "Options:\n", "--port P", "--no-browser",
                     "Exit codes:\n", "Examples:\n"):
            self.assertIn(part, help_text)
        self.assertEqual(self.run_ok(console, "--version"),
                         f"quarn-console (QuarnInterface) {V}\n")


# ---------------------------------------------------------------------------
# scripts/check-reproducible.sh, on a repository whose package.sh stands in
# for the real one (the real check runs in scripts/test.sh)
# ---------------------------------------------------------------------------
CHECK_REPRODUCIBLE = ROOT / "scripts" / "check-reproducible.sh"
# Notes where and how it ran, then makes one kit from a committed file and one
# that holds the time of the build when the file `unstable` exists.
STAND_IN_PACKAGE = """#!/usr/bin/env bash
set -euo pipefail
cd "$(dirname "$0")/.."
echo "$PWD ${TZ-} $(umask)" >>"$BUILD_LOG"
rm -rf dist
mkdir dist
cp kit.txt dist/kit.zip
if [ -e unstable ]; then date +%s%N >dist/unstable.tgz; else echo same >dist/unstable.tgz; fi
"""


class ReproducibilityCheckTest(unittest.TestCase):
    def setUp(self) -> None:
        self.tmp = Path(tempfile.mkdtemp(prefix="quarn-check-"))
        self.addCleanup(shutil.rmtree, self.tmp)
        self.repo = self.tmp / "repo"
        (self.repo / "scripts").mkdir(parents=True)
        shutil.copy(CHECK_REPRODUCIBLE, self.repo / "scripts")
        (self.repo / "scripts" / "package.sh").write_text(STAND_IN_PACKAGE)
        (self.repo / "scripts" / "package.sh").chmod(0o755)
        (self.repo / "kit.txt").write_text("kit\n")
        self.git("init", "--quiet")
        self.commit()
        self.log = self.tmp / "builds.log"

    def git(self, *args: str) -> None:
        subprocess.run(["git", "-c", "user.name=test", "-c", "user.email=test@localhost", *args],
                       cwd=self.repo, check=True, capture_output=True)

    def commit(self) -> None:
        self.git("add", "--all")
        self.git("commit", "--quiet", "--message", "kits")

    def check(self, *args: str) -> subprocess.CompletedProcess:
        return subprocess.run([self.repo / "scripts" / "check-reproducible.sh", *args],
                              capture_output=True, text=True, timeout=120,
                              env=clean_env(BUILD_LOG=str(self.log)))

    def builds(self) -> list[list[str]]:
        return [line.split(" ") for line in self.log.read_text().splitlines()]

    def test_two_clones_at_different_paths_zones_and_umasks_agree(self):
        result = self.check()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"(?m)^same +kit\.zip$")
        self.assertRegex(result.stdout, r"(?m)^same +unstable\.tgz$")
        (first, first_zone, first_umask), (second, second_zone, second_umask) = self.builds()
        self.assertNotEqual(len(first), len(second))
        for clone in (first, second):
            self.assertFalse(Path(clone).is_relative_to(self.repo), clone)
        self.assertNotEqual(first_zone, second_zone)
        self.assertNotEqual(first_umask, second_umask)

    def test_a_kit_that_changes_from_build_to_build_is_named_and_fails(self):
        (self.repo / "unstable").touch()
        self.commit()
        result = self.check()
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"(?m)^DIFFERS +unstable\.tgz$")
        self.assertRegex(result.stdout, r"(?m)^same +kit\.zip$")
        self.assertIn("1 of 2 files differ: unstable.tgz", result.stderr)

    def test_against_a_dist_one_clone_builds_the_uncommitted_tree(self):
        (self.repo / "kit.txt").write_text("changed, not committed\n")
        subprocess.run([self.repo / "scripts" / "package.sh"], check=True,
                       env=clean_env(BUILD_LOG=str(self.log)))
        result = self.check("--against", str(self.repo / "dist"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(len(self.builds()), 2)  # the checkout's and one clone's

        (self.repo / "dist" / "kit.zip").write_text("not what the tree gives\n")
        (self.repo / "dist" / "extra.nupkg").write_text("only here\n")
        result = self.check("--against", str(self.repo / "dist"))
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertRegex(result.stdout, r"(?m)^DIFFERS +kit\.zip$")
        self.assertRegex(result.stdout, r"(?m)^MISSING +extra\.nupkg ")
        self.assertRegex(result.stdout, r"(?m)^same +unstable\.tgz$")


if __name__ == "__main__":
    unittest.main()
