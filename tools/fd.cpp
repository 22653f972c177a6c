#include "fd.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace quarn::tools {

void Fd::reset(int fd) noexcept {
    if (fd_ >= 0) {
        (void)close(fd_);
    }
    fd_ = fd;
}

bool write_all(int fd, const uint8_t *data, size_t len,
               std::chrono::steady_clock::duration timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        (void)poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT32_MAX)));
    }
    return true;
}

} // namespace quarn::tools
