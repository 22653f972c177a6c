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
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile
from pathlib import Path

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


def member_text(archive: Path, member: str) -> str:
    """A file's text from inside a kit, whatever the kit's format."""
    if archive.suffix in {".zip", ".whl"}:
        with zipfile.ZipFile(archive) as opened:
            return opened.read(member).decode()
    if archive.suffix == ".deb":
        data = subprocess.run(["dpkg-deb", "--fsys-tarfile", archive], check=True,
                              capture_output=True).stdout
        tar = tarfile.open(fileobj=io.BytesIO(data))
    else:
        tar = tarfile.open(archive)
    with tar:
        return tar.extractfile(member).read().decode()


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
        # The tools document themselves in --help and in the README.
        "no-manual-page",
    }

    def depends(self, deb: str) -> list[str]:
        field = self.run_ok("dpkg-deb", "--field", kit(deb), "Depends")
        return [clause.strip() for clause in field.split(",") if clause.strip()]

    def test_lintian_finds_no_errors_and_no_new_warnings(self):
        # lintian fails on errors and only reports warnings.
        report = self.run_ok("lintian", *map(kit, DEBS))
        warnings = set(re.findall(r"^W: \S+: (\S+)", report, re.MULTILINE))
        self.assertLessEqual(warnings, self.ACCEPTED_WARNINGS, report)

    def test_dependencies_are_declared_and_met(self):
        exact_runtime = f"libquarninterface1 (= {V})"
        self.assertEqual(self.depends(DEV_DEB), [exact_runtime])
        tools = self.depends(TOOLS_DEB)
        self.assertIn(exact_runtime, tools)
        self.assertTrue(any(c.startswith("libhidapi-hidraw0 ") for c in tools), tools)
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
        for tool in ("quarn-monitor", "quarn-sim"):
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
        for tool in ("quarn-monitor", "quarn-sim"):
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
        kits = {*DEBS, TARBALL, SDIST, *ZIPS.values(), *WHEELS}
        self.assertEqual({path.name for path in DIST.iterdir()}, kits | {"SHA256SUMS"})
        sums = kit("SHA256SUMS").read_text().splitlines()
        self.assertEqual({line.split(maxsplit=1)[1] for line in sums}, kits)
        self.run_ok("sha256sum", "--check", "--quiet", "SHA256SUMS", cwd=DIST)


if __name__ == "__main__":
    unittest.main()
