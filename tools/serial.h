// Terminals for the tools: raw 8N1 links to the device, SBUS lines
// (100000 baud, 8 data bits, even parity, 2 stop bits) and
// pseudo-terminals. POSIX termios, with Linux's termios2 for the rates that
// termios cannot name. Every opener throws Error with kExitOpen and a
// message that names the path and the reason.
#ifndef QUARN_TOOLS_SERIAL_H
#define QUARN_TOOLS_SERIAL_H

#include "fd.h"

#include <string>

namespace quarn::tools {

// Formats "cannot open <what> <path>: <reason>": a FIFO that nobody reads is
// named as such, and a permission error on a device (not on a file) gets the
// hint about the dialout group.
std::string describe_open_error(const std::string &what, const std::string &path, int error_number);

// Opens a serial port raw 8N1 (no echo, no line editing, no signal
// characters, no flow control), non-blocking, asks for low latency where the
// driver allows it, and discards stale input. Throws Absent when there is
// nothing at the path.
Fd open_serial_port(const std::string &path, unsigned baud);

// Opens an SBUS output, non-blocking. A serial port is set to the SBUS
// line; a pseudo-terminal is made raw and takes whatever rate it gets; a
// regular file is emptied and written as it is (created when missing, except
// under /dev, where a missing path is a device that is not there), a FIFO
// written as it is. Sets `created` to whether the file was created.
Fd open_sbus_output(const std::string &path, bool &created);

// Opens an SBUS input, non-blocking, set up like an output. Sets
// `terminal` to whether it is a terminal, which ends by hanging up rather
// than at an end of file.
Fd open_sbus_input(const std::string &path, bool &terminal);

// Whether fd is the slave side of a Unix98 pseudo-terminal.
bool is_pseudo_terminal(int fd);

// A pseudo-terminal pair in raw mode. The slave stays open too, so the
// master never sees a hang-up while nobody else has the slave open.
struct Pty {
    Fd master;
    Fd slave;
    std::string path; // of the slave, for the other program
};
Pty open_pty();

// Sets a rate that has no Bxxx constant, through termios2 and BOTHER.
// Returns false with errno set when the driver refuses.
bool set_custom_baud(int fd, unsigned baud);

// Asks the driver to hand over received bytes at once (ASYNC_LOW_LATENCY,
// through TIOCSSERIAL). Returns false when it does not take the request,
// which many drivers (and pseudo-terminals) do not: that is no error.
bool set_low_latency(int fd);

} // namespace quarn::tools

#endif
