// The one owner of file descriptors in the tools, and the writes that must
// deliver every byte.
#ifndef QUARN_TOOLS_FD_H
#define QUARN_TOOLS_FD_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace quarn::tools {

// Owns one descriptor and closes it; movable, not copyable.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        reset();
    }

    int get() const noexcept {
        return fd_;
    }
    bool valid() const noexcept {
        return fd_ >= 0;
    }
    void reset(int fd = -1) noexcept;

  private:
    int fd_ = -1;
};

// Writes every byte to a descriptor, blocking or not, waiting for room up
// to `timeout` in all. Returns false with errno set when it cannot.
bool write_all(int fd, const uint8_t *data, size_t len,
               std::chrono::steady_clock::duration timeout);

} // namespace quarn::tools

#endif
