import ctypes.util
import os
import re
import subprocess
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

import quarninterface as qi
from quarninterface import _library
from helpers import PACKAGE_PARENT, run_python

HEADER = Path(__file__).resolve().parents[2] / "include" / "QuarnInterface.h"


class LibraryLoadingTest(unittest.TestCase):
    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.dir)

    def test_nothing_found_names_every_place_tried(self):
        with self.assertRaises(qi.LibraryNotFoundError) as caught:
            _library.load({}, self.dir, ("libQuarnMissing.so.1",))
        message = str(caught.exception)
        for place in [
            "QUARN_INTERFACE_LIBRARY: not set",
            f"{self.dir / 'libQuarnMissing.so.1'}: no such file",
            "libQuarnMissing.so.1 through the system's library search",
        ]:
            self.assertIn(place, message)

    def test_environment_variable_wins_and_does_not_fall_back(self):
        missing = str(self.dir / "gone.so")
        with self.assertRaisesRegex(qi.LibraryNotFoundError, re.escape(missing)):
            _library.load({"QUARN_INTERFACE_LIBRARY": missing}, self.dir)

    def test_copy_next_to_the_package(self):
        name = _library.SYSTEM_NAMES[0]
        shutil.copy(qi.library_path, self.dir / name)
        library, path = _library.load({}, self.dir)
        self.assertEqual(path, str((self.dir / name).resolve()))
        self.assertTrue(hasattr(library, "parse_port_data"))

    def test_broken_copy_next_to_the_package_is_reported(self):
        (self.dir / "garbage.so").write_bytes(b"not a library")
        names = ["garbage.so"]
        if sys.platform != "win32":  # links need privileges there
            (self.dir / "dangling.so").symlink_to(self.dir / "nowhere.so")
            names.append("dangling.so")
        for name in names:
            with self.assertRaisesRegex(qi.LibraryNotFoundError, "installed next to the package"):
                _library.load({}, self.dir, (name,))

    def test_other_library_is_not_taken(self):
        other = ctypes.util.find_library("c") or "kernel32"
        with self.assertRaisesRegex(qi.LibraryNotFoundError, "does not export request_upload"):
            _library.load({"QUARN_INTERFACE_LIBRARY": other}, self.dir)

    @unittest.skipIf(sys.platform == "win32", "links and LD_LIBRARY_PATH are for Linux")
    def test_library_path_is_the_absolute_path_of_the_file_loaded(self):
        copy = self.dir / "copies" / _library.SYSTEM_NAMES[0]
        copy.parent.mkdir()
        shutil.copy(qi.library_path, copy)
        (self.dir / "link.so").symlink_to(copy)
        code = "import quarninterface as qi; print(qi.library_path)"
        # A relative link named by the variable, and the bare name that the
        # loader's own search resolves (the package dir of the source tree
        # holds no library).
        for variable, value in [
            ("QUARN_INTERFACE_LIBRARY", "./link.so"),
            ("LD_LIBRARY_PATH", str(copy.parent)),
        ]:
            with self.subTest(variable):
                env = {k: v for k, v in os.environ.items() if k != "QUARN_INTERFACE_LIBRARY"}
                env |= {"PYTHONPATH": str(PACKAGE_PARENT), variable: value}
                result = subprocess.run([sys.executable, "-c", code], env=env, cwd=self.dir,
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout, f"{copy.resolve()}\n")

    def test_import_fails_with_the_public_error(self):
        result = run_python("import quarninterface", QUARN_INTERFACE_LIBRARY=str(self.dir / "x.so"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("quarninterface.LibraryNotFoundError", result.stderr)
        self.assertIn(str(self.dir / "x.so"), result.stderr)


class PackageTest(unittest.TestCase):
    @unittest.skipUnless(HEADER.exists(), "needs the library's source tree")
    def test_version_matches_the_header(self):
        header = HEADER.read_text()
        parts = re.findall(r"#define QUARN_INTERFACE_VERSION_(?:MAJOR|MINOR|PATCH) (\d+)", header)
        self.assertEqual(qi.__version__, ".".join(parts))
