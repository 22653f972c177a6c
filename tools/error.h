// The exit codes the tools share, and the one error type they throw: a
// message for the user together with the exit code it ends the program with.
#ifndef QUARN_TOOLS_ERROR_H
#define QUARN_TOOLS_ERROR_H

#include <cstring>
#include <stdexcept>
#include <string>

namespace quarn::tools {

enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1, // failed while running: device lost, a write failed
    kExitUsage = 2,   // the arguments are wrong; nothing was opened or written
    kExitOpen = 3,    // a source or a target cannot be opened
};

// The exit codes as the --help text of every tool lists them.
inline constexpr const char *kExitCodesHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  failure while running (device lost, a write failed)\n"
    "  2  usage error (nothing was opened or written)\n"
    "  3  a source or target cannot be opened\n";

class Error : public std::runtime_error {
  public:
    Error(int exit_code, const std::string &message)
        : std::runtime_error(message), exit_code_(exit_code) {}
    int exit_code() const noexcept {
        return exit_code_;
    }

  private:
    int exit_code_;
};

// A device that is not there at all: no such path, no device with this id.
// With --reconnect the monitor waits for it to appear.
class Absent : public Error {
  public:
    explicit Absent(const std::string &message) : Error(kExitOpen, message) {}
};

// A device that was open and went away. With --reconnect the monitor waits
// for it to come back.
class Lost : public Error {
  public:
    explicit Lost(const std::string &message) : Error(kExitFailure, message) {}
};

// The C library's text for an errno value.
inline std::string errno_text(int error_number) {
    return std::strerror(error_number);
}

} // namespace quarn::tools

#endif
