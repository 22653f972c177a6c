#include "serial.h"

#include "error.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
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
constexpr size_t kPtyNameSize = 128;
constexpr mode_t kNewFileMode = 0644;
// Where device nodes live: a missing path there is a device that is absent.
constexpr const char *kDeviceDirectory = "dev";

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

[[noreturn]] void fail_setup(const std::string &what, const std::string &path) {
    throw Error(kExitOpen, "cannot set up " + what + " " + path + ": " + errno_text(errno));
}

bool in_device_directory(const std::string &path) {
    std::error_code error;
    const auto where = std::filesystem::absolute(path, error).lexically_normal();
    auto part = where.begin();
    return !error && part != where.end() && ++part != where.end() && *part == kDeviceDirectory;
}

Fd open_path(const std::string &what, const std::string &path, int flags) {
    Fd fd(open(path.c_str(), flags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) {
        throw Absent(describe_open_error(what, path, errno));
    }
    if (!fd.valid()) {
        throw Error(kExitOpen, describe_open_error(what, path, errno));
    }
    return fd;
}

// Raw SBUS line settings on a terminal; a pseudo-terminal has no line rate,
// so its refusal of one is harmless.
void set_sbus_line(const Fd &fd, const std::string &what, const std::string &path) {
    termios tio = {};
    if (tcgetattr(fd.get(), &tio) != 0) {
        fail_setup(what, path);
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARODD | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | CS8 | PARENB | CSTOPB;
    cfsetispeed(&tio, kPlaceholderRate);
    cfsetospeed(&tio, kPlaceholderRate);
    if (tcsetattr(fd.get(), TCSANOW, &tio) != 0) {
        fail_setup(what, path);
    }
    if (!set_custom_baud(fd.get(), kSbusBaud) && !is_pseudo_terminal(fd.get())) {
        fail_setup(what, path);
    }
}

} // namespace

std::string describe_open_error(const std::string &what, const std::string &path,
                                int error_number) {
    const std::string start = "cannot open " + what + " " + path + ": ";
    struct stat st = {};
    const bool known = stat(path.c_str(), &st) == 0;
    if (known && S_ISFIFO(st.st_mode) && error_number == ENXIO) {
        return start + "it is a FIFO that no program is reading; start the reader first";
    }
    std::string message = start + errno_text(error_number);
    if (known && S_ISCHR(st.st_mode) && error_number == EACCES) {
        message += " (serial ports belong to the 'dialout' group: sudo usermod -aG dialout "
                   "$USER, then log in again)";
    }
    return message;
}

bool is_pseudo_terminal(int fd) {
    struct stat st = {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const unsigned m = major(st.st_rdev);
    return m >= kPtySlaveMajorFirst && m <= kPtySlaveMajorLast;
}

Fd open_serial_port(const std::string &path, unsigned baud) {
    const std::string what = "serial port";
    Fd fd = open_path(what, path, O_RDWR);
    termios tio = {};
    if (tcgetattr(fd.get(), &tio) != 0) {
        fail_setup(what, path);
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
    if (tcsetattr(fd.get(), TCSANOW, &tio) != 0 ||
        (rate == nullptr && !set_custom_baud(fd.get(), baud))) {
        fail_setup(what, path);
    }
    (void)set_low_latency(fd.get());
    (void)tcflush(fd.get(), TCIFLUSH);
    return fd;
}

Fd open_sbus_output(const std::string &path, bool &created) {
    const std::string what = "SBUS output";
    const int flags = O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;
    Fd fd(open(path.c_str(), flags));
    created = false;
    if (!fd.valid() && errno == ENOENT && !in_device_directory(path)) {
        fd = Fd(open(path.c_str(), flags | O_CREAT | O_EXCL, kNewFileMode));
        created = fd.valid();
    }
    if (!fd.valid()) {
        throw Error(kExitOpen, describe_open_error(what, path, errno));
    }
    struct stat st = {};
    if (fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (ftruncate(fd.get(), 0) != 0) {
            fail_setup(what, path);
        }
    } else if (isatty(fd.get()) != 0) {
        set_sbus_line(fd, what, path);
    }
    return fd;
}

Fd open_sbus_input(const std::string &path, bool &terminal) {
    const std::string what = "SBUS input";
    Fd fd = open_path(what, path, O_RDONLY);
    struct stat st = {};
    if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        throw Error(kExitOpen, describe_open_error(what, path, EISDIR));
    }
    terminal = isatty(fd.get()) != 0;
    if (terminal) {
        set_sbus_line(fd, what, path);
        (void)tcflush(fd.get(), TCIFLUSH);
    }
    return fd;
}

Pty open_pty() {
    Pty pty;
    pty.master = Fd(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    std::array<char, kPtyNameSize> name{};
    if (!pty.master.valid() || grantpt(pty.master.get()) != 0 || unlockpt(pty.master.get()) != 0 ||
        ptsname_r(pty.master.get(), name.data(), name.size()) != 0) {
        throw Error(kExitOpen, "cannot create a pseudo-terminal: " + errno_text(errno));
    }
    pty.path = name.data();
    pty.slave = Fd(open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios tio{};
    if (!pty.slave.valid() || tcgetattr(pty.slave.get(), &tio) != 0) {
        throw Error(kExitOpen,
                    "cannot open pseudo-terminal " + pty.path + ": " + errno_text(errno));
    }
    // A serial device is a byte pipe: no echo, no line editing, no
    // translation of carriage returns.
    cfmakeraw(&tio);
    if (tcsetattr(pty.slave.get(), TCSANOW, &tio) != 0) {
        throw Error(kExitOpen,
                    "cannot set up pseudo-terminal " + pty.path + ": " + errno_text(errno));
    }
    return pty;
}

} // namespace quarn::tools
