#include "cli.h"

#include "error.h"
#include "text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace quarn::tools::cli {
namespace {

constexpr int kHexBase = 16;
constexpr int kDecimalBase = 10;

std::string in_quotes(const std::string &value) {
    return "'" + value + "'";
}

std::string range_text(const std::string &what, const std::string &min, const std::string &max) {
    return "expected " + what + " from " + min + " to " + max;
}

// Whole numbers in full, others as printf's %g writes them.
std::string number_text(double value) {
    return std::floor(value) == value ? format("%.0f", value) : format("%g", value);
}

// "--port: 1 required PATH missing" from CLI11 becomes a sentence that says
// what the option takes.
std::string missing_value_message(const CLI::App &app, const std::string &message) {
    const std::string name = message.substr(0, message.find(':'));
    const CLI::Option *option = app.get_option_no_throw(name);
    if (option == nullptr) {
        return message;
    }
    return name + " needs a value: " + option->get_type_name() + ", " + option->get_description();
}

} // namespace

std::optional<uint64_t> parse_whole(const std::string &text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    const char *accepted = hex ? "0123456789abcdefABCDEF" : "0123456789";
    if (digits.empty() || digits.find_first_not_of(accepted) != std::string::npos) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value =
        std::strtoull(digits.c_str(), nullptr, hex ? kHexBase : kDecimalBase);
    if (errno == ERANGE) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(value);
}

CLI::Validator whole_number(uint64_t min, uint64_t max, const std::string &what) {
    return CLI::Validator(
        [min, max, what](std::string &value) -> std::string {
            const std::string range = range_text(what, std::to_string(min), std::to_string(max));
            const auto number = parse_whole(value);
            // A negative or overlong number is a number out of range.
            const size_t first_digit = value.rfind('-', 0) == 0 ? 1 : 0;
            const bool digits_only =
                value.size() > first_digit &&
                value.find_first_not_of("0123456789", first_digit) == std::string::npos;
            if (!number && !digits_only) {
                return in_quotes(value) + " is not a whole number; " + range;
            }
            if (!number || *number < min || *number > max) {
                return in_quotes(value) + " is out of range; " + range;
            }
            value = std::to_string(*number);
            return {};
        },
        "");
}

CLI::Validator decimal_number(double min, double max, const std::string &what) {
    return CLI::Validator(
        [min, max, what](std::string &value) -> std::string {
            const std::string range = range_text(what, number_text(min), number_text(max));
            char *end = nullptr;
            errno = 0;
            const double number = std::strtod(value.c_str(), &end);
            if (value.empty() || end == nullptr || *end != '\0' ||
                (!std::isfinite(number) && errno != ERANGE)) {
                return in_quotes(value) + " is not a number; " + range;
            }
            if (errno == ERANGE || number < min || number > max) {
                return in_quotes(value) + " is out of range; " + range;
            }
            return {};
        },
        "");
}

CLI::Validator one_of(const std::vector<std::string> &words) {
    std::string list;
    for (const auto &w : words) {
        list += (list.empty() ? "" : ", ") + w;
    }
    return CLI::Validator(
        [words, list](std::string &value) -> std::string {
            for (const auto &w : words) {
                if (value == w) {
                    return {};
                }
            }
            return in_quotes(value) + " is not accepted; expected one of: " + list;
        },
        "");
}

CLI::Validator non_empty_path() {
    return CLI::Validator(
        [](const std::string &value) -> std::string {
            return value.empty() ? "the value is empty; expected a path (is the variable that "
                                   "should hold it set?)"
                                 : std::string();
        },
        "");
}

int report_usage_error(const std::string &program, const std::string &message) {
    (void)std::fprintf(stderr,
                       "%s: %s\nRun '%s --help' for the options, examples and exit codes.\n",
                       program.c_str(), message.c_str(), program.c_str());
    return kExitUsage;
}

std::optional<int> parse(CLI::App &app, int argc, char **argv) {
    app.set_version_flag("--version", app.get_name() + " (QuarnInterface) " QUARN_TOOLS_VERSION,
                         "print the version and exit");
    app.footer(app.get_footer() + "\nThe manual page: man " + app.get_name() + "\n");
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        // CLI11 checks requirements before it reports unknown arguments, so
        // a mistyped option would otherwise be reported as something else.
        const auto extras = app.remaining();
        std::string message = e.what();
        if (dynamic_cast<const CLI::ArgumentMismatch *>(&e) != nullptr) {
            message = missing_value_message(app, message);
        }
        if (!extras.empty()) {
            const std::string &first = extras.front();
            message =
                (!first.empty() && first[0] == '-' ? "unknown option " : "unexpected argument ") +
                in_quotes(first);
        }
        return report_usage_error(app.get_name(), message);
    }
}

} // namespace quarn::tools::cli
