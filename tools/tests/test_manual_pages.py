"""The manual pages, made from each program's --help at build time: --help
ends by naming its page, and the page renders without a warning and holds
every option and every example of --help, one example a line.
"""

import json
import os
import re
import subprocess
import unittest

from support import WAIT

# Written by cmake/QuarnManualPages.cmake: every page with its program.
LIST = os.environ.get("QUARN_MANUAL_PAGES", "")
# Wide lines and no hyphenation, so that no option is broken in the text.
MAN_ENV = dict(os.environ, LC_ALL="C", MANWIDTH="250", MANROFFOPT="-rHY=0", MANPAGER="cat")


def words(text):
    return " ".join(text.split())


def paragraph(text, heading):
    """The indented lines right under a heading, up to a blank line."""
    match = re.search(rf"^{heading}\n((?:[ \t]+\S.*\n)*)", text, re.MULTILINE)
    return match.group(1) if match else ""


@unittest.skipUnless(LIST, "QUARN_MANUAL_PAGES names no list of manual pages")
class ManualPages(unittest.TestCase):
    def test_each_page_renders_and_holds_every_option_and_example_of_its_help(self):
        with open(LIST) as f:
            pages = json.load(f)
        self.assertLessEqual({"quarn-monitor", "quarn-sim"}, {p["name"] for p in pages})
        for entry in pages:
            name = entry["name"]
            with self.subTest(name):
                usage = subprocess.run([entry["program"], "--help"], capture_output=True,
                                       text=True, timeout=WAIT, check=True).stdout
                self.assertEqual(usage.rstrip().splitlines()[-1], f"The manual page: man {name}")
                shown = subprocess.run(["man", "--warnings", "-l", entry["page"]],
                                       capture_output=True, text=True, env=MAN_ENV, timeout=WAIT)
                self.assertEqual((shown.returncode, shown.stderr), (0, ""))
                page = shown.stdout
                self.assertRegex(page, rf"NAME\n +{re.escape(name)} - \w")
                self.assertNotIn("The manual page", page)

                options = set(re.findall(r"(?<![\w-])--?[a-z][\w-]*", usage))
                self.assertIn("--version", options)
                shown_options = set(re.findall(r"(?<![\w-])--?[a-z][\w-]*", page))
                self.assertEqual(options - shown_options, set())

                examples = paragraph(usage, "Examples:").strip().splitlines()
                self.assertTrue(examples, usage)
                in_page = paragraph(page, "EXAMPLES").strip().splitlines()
                self.assertEqual([words(line) for line in in_page],
                                 [words(line) for line in examples])
                self.assertIn("success", paragraph(page, "   Exit codes:"))


if __name__ == "__main__":
    unittest.main()
