// Command-line handling shared by the tools, on top of CLI11: validators
// whose messages name the value given and what is accepted, and one way of
// reporting a usage error.
#ifndef QUARN_TOOLS_CLI_H
#define QUARN_TOOLS_CLI_H

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quarn::tools::cli {

// A whole number from min to max, decimal or 0x-prefixed hex; the value is
// rewritten in decimal so that CLI11's conversion reads what was checked.
// `what` names the quantity in the message, e.g. "a line rate in baud".
CLI::Validator whole_number(uint64_t min, uint64_t max, const std::string &what);

// A decimal number from min to max.
CLI::Validator decimal_number(double min, double max, const std::string &what);

// One of a few words.
CLI::Validator one_of(const std::vector<std::string> &words);

// A path, which an empty value never is (a "$PORT" whose variable is unset).
CLI::Validator non_empty_path();

// Parses a whole number as whole_number accepts it.
std::optional<uint64_t> parse_whole(const std::string &text);

// Parses the arguments, after adding what every tool has: --version, and a
// last line of the help that names the manual page (cmake/manual-page.cmake,
// which makes the manual page from the help, leaves that line out).
// Returns nothing when the program goes on, or the exit code to end with:
// 0 after --help or --version, kExitUsage after an error, which has been
// reported.
std::optional<int> parse(CLI::App &app, int argc, char **argv);

// Prints "<program>: <message>" and where to read on, on standard error.
// Returns kExitUsage.
int report_usage_error(const std::string &program, const std::string &message);

} // namespace quarn::tools::cli

#endif
