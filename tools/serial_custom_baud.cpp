// The kernel's own serial interfaces. termios2 lives in the kernel's headers,
// whose struct termios clashes with the C library's: this file includes only
// the kernel's.
#include "serial.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

namespace quarn::tools {

bool set_custom_baud(int fd, unsigned baud) {
    struct termios2 tio = {};
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        return false;
    }
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

bool set_low_latency(int fd) {
    struct serial_struct serial = {};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return false;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

} // namespace quarn::tools
