// Serial ports for the tools: raw 8N1 links to the device and the SBUS
// output (100000 baud, 8E2). POSIX termios, with Linux's termios2 for the
// rates that termios cannot name.
#ifndef QUARN_TOOLS_SERIAL_H
#define QUARN_TOOLS_SERIAL_H

#include <string>

namespace quarn::tools {

// Why a port could not be opened or set up, as one line for the user, with
// the errno that caused it.
struct OpenError {
    std::string message;
    int error_number = 0;
};

// Formats "cannot open <what> <path>: <reason>", with a hint about the
// dialout group for a permission error.
std::string describe_open_error(const std::string &what, const std::string &path, int error_number);

// Opens a serial port raw 8N1 (no echo, no line editing, no signal
// characters, no flow control), non-blocking, and discards stale input.
// Returns the descriptor, or -1 and fills error.
int open_serial_port(const std::string &path, unsigned baud, OpenError &error);

// Opens an SBUS output: 100000 baud, 8 data bits, even parity, 2 stop bits,
// non-blocking. A pseudo-terminal takes whatever rate it gets; a path that is
// not a terminal at all (a FIFO, a file) is written as it is.
int open_sbus_output(const std::string &path, OpenError &error);

// Sets a rate that has no Bxxx constant, through termios2 and BOTHER.
// Returns false with errno set when the driver refuses.
bool set_custom_baud(int fd, unsigned baud);

} // namespace quarn::tools

#endif
