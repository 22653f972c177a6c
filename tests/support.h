// Independent builders for the wire formats, written from the byte layouts
// in the public header so that expected values never come from the library.
#ifndef QUARN_TESTS_SUPPORT_H
#define QUARN_TESTS_SUPPORT_H

#include "QuarnInterface.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quarn_test {

using Bytes = std::vector<std::uint8_t>;
using Channels = std::array<std::uint16_t, QUARN_CHANNEL_COUNT>;
using Ports = std::array<std::uint16_t, QUARN_PORT_COUNT>;
using SbusSet = std::array<std::uint16_t, QUARN_SBUS_CHANNEL_COUNT>;
using SbusFrame = std::array<std::uint8_t, QUARN_SBUS_FRAME_SIZE>;

constexpr std::uint8_t kSentinel = 0xCC;
constexpr std::uint16_t kSentinel16 = 0xCCCC;

inline Bytes &operator+=(Bytes &a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <std::size_t N> void put_le16(Bytes &out, const std::array<std::uint16_t, N> &values) {
    for (std::uint16_t v : values) {
        out.push_back(static_cast<std::uint8_t>(v & 0xFF));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
}

// start byte, command, little-endian length, payload, trailer
inline Bytes frame(std::uint8_t command, const Bytes &payload,
                   std::uint8_t trailer = QUARN_FRAME_TAIL) {
    const std::size_t len = payload.size();
    Bytes f{QUARN_FRAME_HEAD, command, static_cast<std::uint8_t>(len & 0xFF),
            static_cast<std::uint8_t>(len >> 8)};
    f += payload;
    f.push_back(trailer);
    return f;
}

// Data payloads: type byte, then 12 channels (types 0, 2), six unused bytes
// (type 2), then 32 ports (types 1, 2). `fill` pads the unused bytes.
inline Bytes payload0(const Channels &c) {
    Bytes p{QUARN_PAYLOAD_TYPE_CHANNELS};
    put_le16(p, c);
    return p;
}
inline Bytes payload1(const Ports &ports) {
    Bytes p{QUARN_PAYLOAD_TYPE_PORTS};
    put_le16(p, ports);
    return p;
}
inline Bytes payload2(const Channels &c, const Ports &ports, std::uint8_t fill = 0) {
    Bytes p{QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS};
    put_le16(p, c);
    p.insert(p.end(), QUARN_TYPE2_GAP_SIZE, fill);
    put_le16(p, ports);
    return p;
}
inline Bytes data0(const Channels &c) {
    return frame(QUARN_CMD_PORT_DATA, payload0(c));
}
inline Bytes data1(const Ports &p) {
    return frame(QUARN_CMD_PORT_DATA, payload1(p));
}
inline Bytes data2(const Channels &c, const Ports &p) {
    return frame(QUARN_CMD_PORT_DATA, payload2(c, p));
}

// Distinct recognisable values with no 0xFA byte, so that only the frames a
// test builds on purpose can start a frame.
inline Channels channels_from(std::uint16_t base) {
    Channels c{};
    for (std::size_t k = 0; k < c.size(); ++k) {
        c[k] = static_cast<std::uint16_t>(base + 0x0101 * k);
    }
    return c;
}
inline Ports ports_from(std::uint16_t base) {
    Ports p{};
    for (std::size_t k = 0; k < p.size(); ++k) {
        p[k] = static_cast<std::uint16_t>(base + 0x0102 * k);
    }
    return p;
}

#if !defined(_WIN32)
// A readable page followed by one that faults on any access. Bytes placed so
// that they end where the readable page ends prove that nothing past them is
// read: such a read ends the test program.
class GuardedPageEnd {
  public:
    GuardedPageEnd() {
        void *pages =
            mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages != MAP_FAILED &&
            mprotect(static_cast<std::uint8_t *>(pages) + size_, size_, PROT_NONE) == 0) {
            pages_ = static_cast<std::uint8_t *>(pages);
        } else if (pages != MAP_FAILED) {
            munmap(pages, 2 * size_);
        }
    }
    ~GuardedPageEnd() {
        if (pages_ != nullptr) {
            munmap(pages_, 2 * size_);
        }
    }
    GuardedPageEnd(const GuardedPageEnd &) = delete;
    GuardedPageEnd &operator=(const GuardedPageEnd &) = delete;

    bool ok() const {
        return pages_ != nullptr;
    }
    // A copy of b (at most a page) whose last byte is the last readable one;
    // with b empty, a pointer to the first byte that faults.
    const std::uint8_t *place(const Bytes &b) {
        std::uint8_t *at = pages_ + size_ - b.size();
        std::copy(b.begin(), b.end(), at);
        return at;
    }

  private:
    std::size_t size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::uint8_t *pages_ = nullptr;
};
#endif

// SBUS reference packer: bit b of channel k is frame bit 8 + 11k + b, each
// channel first clamped to its 11 bits. Bytes 0, 23 and 24 stay 0.
inline SbusFrame sbus_reference(const SbusSet &set) {
    constexpr std::size_t kBitsPerByte = 8;
    constexpr std::size_t kFirstChannelBit = QUARN_SBUS_CHANNELS_OFFSET * kBitsPerByte;
    SbusFrame f{};
    for (std::size_t k = 0; k < set.size(); ++k) {
        const unsigned v = std::min<unsigned>(set[k], QUARN_SBUS_CHANNEL_MAX);
        for (unsigned b = 0; b < QUARN_SBUS_CHANNEL_BITS; ++b) {
            if (((v >> b) & 1U) != 0) {
                const std::size_t bit = kFirstChannelBit + QUARN_SBUS_CHANNEL_BITS * k + b;
                const std::size_t at = bit / kBitsPerByte;
                f[at] = static_cast<std::uint8_t>(f[at] | (1U << (bit % kBitsPerByte)));
            }
        }
    }
    return f;
}

} // namespace quarn_test

#endif
