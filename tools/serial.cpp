#include "serial.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace quarn::tools {
namespace {

constexpr unsigned kSbusBaud = 100000;
// A port left at a termios2 rate (BOTHER) by an earlier run is refused by
// tcsetattr, so a standard rate stands in until termios2 sets the real one.
constexpr speed_t kPlaceholderRate = B38400;
// Linux's Unix98 pseudo-terminal slaves use majors 136 to 143.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

struct StandardRate {
    unsigned baud;
    speed_t code;
};
constexpr StandardRate kStandardRates[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
    {3000000, B3000000},
};

bool is_pseudo_terminal(int fd) {
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const unsigned m = major(st.st_rdev);
    return m >= kPtySlaveMajorFirst && m <= kPtySlaveMajorLast;
}

int fail(int fd, const std::string &what, const std::string &path, OpenError &error) {
    const int e = errno;
    error.error_number = e;
    error.message = "cannot set up " + what + " " + path + ": " + std::strerror(e);
    close(fd);
    return -1;
}

int open_port(const std::string &what, const std::string &path, OpenError &error) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error.error_number = errno;
        error.message = describe_open_error(what, path, errno);
    }
    return fd;
}

} // namespace

std::string describe_open_error(const std::string &what, const std::string &path,
                                int error_number) {
    std::string message = "cannot open " + what + " " + path + ": " + std::strerror(error_number);
    if (error_number == EACCES) {
        message += " (serial ports belong to the 'dialout' group: sudo usermod -aG dialout "
                   "$USER, then log in again)";
    }
    return message;
}

int open_serial_port(const std::string &path, unsigned baud, OpenError &error) {
    const std::string what = "serial port";
    const int fd = open_port(what, path, error);
    if (fd < 0) {
        return -1;
    }
    termios tio = {};
    if (tcgetattr(fd, &tio) != 0) {
        return fail(fd, what, path, error);
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | CS8;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    const StandardRate *rate = nullptr;
    for (const auto &r : kStandardRates) {
        if (r.baud == baud) {
            rate = &r;
        }
    }
    const speed_t code = rate != nullptr ? rate->code : kPlaceholderRate;
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(fd, TCSANOW, &tio) != 0 || (rate == nullptr && !set_custom_baud(fd, baud))) {
        return fail(fd, what, path, error);
    }
    tcflush(fd, TCIFLUSH);
    return fd;
}

int open_sbus_output(const std::string &path, OpenError &error) {
    const std::string what = "SBUS output";
    const int fd = open_port(what, path, error);
    if (fd < 0 || isatty(fd) == 0) {
        return fd;
    }
    termios tio = {};
    if (tcgetattr(fd, &tio) != 0) {
        return fail(fd, what, path, error);
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARODD | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | CS8 | PARENB | CSTOPB;
    cfsetispeed(&tio, kPlaceholderRate);
    cfsetospeed(&tio, kPlaceholderRate);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return fail(fd, what, path, error);
    }
    // A pseudo-terminal has no line rate, so a refusal there is harmless.
    if (!set_custom_baud(fd, kSbusBaud) && !is_pseudo_terminal(fd)) {
        return fail(fd, what, path, error);
    }
    return fd;
}

} // namespace quarn::tools
