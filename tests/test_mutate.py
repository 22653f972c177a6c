#!/usr/bin/env python3
"""scripts/mutate.py makes exactly the mutants it promises: no operator taken
from a template, a shift, a comment or a string; no declaration removed; a
flag result inverted only where the function returns a flag; and only the
lines the compiler sees."""

import json
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "scripts"))
import mutate  # noqa: E402

SOURCE = """\
// Flags.
std::uint8_t flag(const std::uint8_t *p, std::size_t n) {
    const auto v = static_cast<std::uint16_t>(p[0] << 8 >> 1); // n < 4
    if (n < 4 && p[1] != '<') {
        return 1;
    }
    std::memcpy(out, "a == b", n);
    return 0;
}
std::size_t position(std::size_t n) {
    return n;
}
"""

# (line, kind, what replaces the token or statement), in source order.
EXPECTED = [
    (3, "constant", "1"), (3, "constant", "9"), (3, "constant", "7"), (3, "constant", "2"),
    (3, "constant", "0"),
    (4, "compare", "<="), (4, "compare", ">="), (4, "constant", "5"), (4, "constant", "3"),
    (4, "logical", "||"), (4, "constant", "2"), (4, "constant", "0"), (4, "compare", "=="),
    (5, "statement", ";"), (5, "return", "0"), (5, "constant", "2"),
    (7, "statement", ";"),
    (8, "statement", ";"), (8, "return", "1"),
    (11, "statement", ";"),
]


class MakeMutants(unittest.TestCase):
    def test_exactly_the_promised_mutants(self):
        mutants = mutate.make_mutants(SOURCE, set(range(2, 13)))
        self.assertEqual([(m.line, m.kind, m.replacement) for m in mutants], EXPECTED)
        self.assertEqual({m.function for m in mutants}, {"flag", "position"})
        texts = {m.apply(SOURCE) for m in mutants}
        self.assertEqual(len(texts), len(mutants))
        self.assertNotIn(SOURCE, texts)

    def test_change_shows_the_line_before_and_after(self):
        mutants = mutate.make_mutants(SOURCE, {4})
        self.assertEqual(mutants[0].change(SOURCE),
                         ("if (n < 4 && p[1] != '<') {", "if (n <= 4 && p[1] != '<') {"))

    def test_constants_keep_their_spelling(self):
        self.assertEqual(mutate.off_by_one("0x0F"), ["0x10", "0x0E"])
        self.assertEqual(mutate.off_by_one("0xff"), ["0x100", "0xfe"])
        self.assertEqual(mutate.off_by_one("0"), ["1"])
        self.assertEqual(mutate.off_by_one("495"), ["496", "494"])


class CompiledLines(unittest.TestCase):
    def test_lines_holding_tokens_in_this_build(self):
        with tempfile.TemporaryDirectory() as tmp:
            source = Path(tmp) / "lib.cpp"
            source.write_text("// comment\n"
                              "int a = 1;\n"
                              "\n"
                              "#if 0\n"
                              "int b = 2;\n"
                              "#else\n"
                              "int c = 3;\n"
                              "#endif\n"
                              "/* two-line\n"
                              "   comment */ int d = 4;\n")
            command = f"c++ -o lib.o -c {source}"
            entries = [{"directory": tmp, "command": command, "file": str(source)}]
            (Path(tmp) / "compile_commands.json").write_text(json.dumps(entries))
            self.assertEqual(mutate.compiled_lines(Path(tmp), source), {2, 7, 10})
            self.assertEqual(list(Path(tmp).glob("*.o")), [])


if __name__ == "__main__":
    unittest.main()
