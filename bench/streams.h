// Deterministic byte streams for the benchmarks and the instruction budget:
// the same bytes on every run and every machine, so timings and instruction
// counts compare across runs.
#ifndef QUARN_BENCH_STREAMS_H
#define QUARN_BENCH_STREAMS_H

#include "QuarnInterface.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarn_bench {

using Bytes = std::vector<std::uint8_t>;

// Large enough to amortise the loop, small enough that the stream, the
// parser's buffer and memcpy's destination all stay in the L1 cache.
constexpr std::size_t kStreamBytes = 16000;

constexpr std::size_t kType0FrameBytes = QUARN_FRAME_OVERHEAD + QUARN_TYPE0_PAYLOAD_SIZE;
constexpr std::size_t kType2FrameBytes = QUARN_FRAME_OVERHEAD + QUARN_TYPE2_PAYLOAD_SIZE;

// xorshift32: a fixed sequence without depending on the standard library's
// engines, whose output may differ between implementations.
class Noise {
  public:
    explicit Noise(std::uint32_t seed) : state_(seed) {}
    std::uint8_t next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return static_cast<std::uint8_t>(state_ >> 24);
    }
    // A byte that is neither a start byte nor a trailer.
    std::uint8_t plain() {
        std::uint8_t b = next();
        while (b == QUARN_FRAME_HEAD || b == QUARN_FRAME_TAIL) {
            b = next();
        }
        return b;
    }

  private:
    std::uint32_t state_;
};

inline void put_le16(Bytes &out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

inline void put_header(Bytes &out, std::size_t payload_len) {
    out.push_back(QUARN_FRAME_HEAD);
    out.push_back(QUARN_CMD_PORT_DATA);
    put_le16(out, static_cast<std::uint16_t>(payload_len));
}

// `count` values in the SBUS range, as a device sends them.
inline void put_values(Bytes &out, Noise &n, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        put_le16(out, static_cast<std::uint16_t>((n.next() << 3) & QUARN_SBUS_CHANNEL_MAX));
    }
}

// Whole data frames of type 0 (30 bytes) or type 2 (100 bytes) with values in
// the SBUS range, as a device sends them; the stream ends on a frame boundary
// so the parser retains nothing between passes over it.
inline Bytes type0_stream(std::size_t frames) {
    Bytes s;
    Noise n(0x0C0FFEE0);
    for (std::size_t f = 0; f < frames; ++f) {
        put_header(s, kType0FrameBytes - QUARN_FRAME_OVERHEAD);
        s.push_back(QUARN_PAYLOAD_TYPE_CHANNELS);
        put_values(s, n, QUARN_CHANNEL_COUNT);
        s.push_back(QUARN_FRAME_TAIL);
    }
    return s;
}

inline Bytes type2_stream(std::size_t frames) {
    Bytes s;
    Noise n(0x5EED0002);
    for (std::size_t f = 0; f < frames; ++f) {
        put_header(s, kType2FrameBytes - QUARN_FRAME_OVERHEAD);
        s.push_back(QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS);
        put_values(s, n, QUARN_CHANNEL_COUNT);
        s.insert(s.end(), QUARN_TYPE2_GAP_SIZE, 0);
        put_values(s, n, QUARN_PORT_COUNT);
        s.push_back(QUARN_FRAME_TAIL);
    }
    return s;
}

// Line noise with no start byte at all: the parser's best case.
inline Bytes noise_stream(std::size_t bytes) {
    Bytes s;
    Noise n(0xBADC0DE5);
    for (std::size_t i = 0; i < bytes; ++i) {
        s.push_back(n.plain());
    }
    return s;
}

// The scan's worst case: every fourth byte is a start byte whose length
// field claims 256 to 495 bytes (the longest a frame may be), so every
// candidate stays undecided until far more bytes have arrived, and none of
// them ever finds its trailer. Four bytes is the densest spacing: the length's
// high byte must be 0 or 1, so it can never itself be a start byte.
constexpr std::size_t kStrayPeriod = 4;

inline Bytes stray_starts_stream(std::size_t bytes) {
    Bytes s;
    Noise n(0x0DEFACED);
    while (s.size() + kStrayPeriod <= bytes) {
        s.push_back(QUARN_FRAME_HEAD);
        s.push_back(n.plain()); // no command the parser acts on
        std::uint8_t low = n.plain();
        while (low > QUARN_MAX_PAYLOAD_SIZE - 256) {
            low = n.plain();
        }
        s.push_back(low);
        s.push_back(1);
    }
    return s;
}

// Nothing but start bytes: every byte is a candidate, each refused at once by
// its length (0xFAFA). The most candidates a stream can hold, so the scan's
// cost per candidate shows undiluted.
inline Bytes start_bytes_stream(std::size_t bytes) {
    return Bytes(bytes, QUARN_FRAME_HEAD);
}

constexpr std::size_t kType2Frames = kStreamBytes / kType2FrameBytes;
constexpr std::size_t kType0Frames = kStreamBytes / kType0FrameBytes;

// Inputs of the per-call functions: valid reports and channel sets.
inline std::array<std::uint8_t, QUARN_HID_GAME_CONTROLLER_REPORT_SIZE> game_report() {
    std::array<std::uint8_t, QUARN_HID_GAME_CONTROLLER_REPORT_SIZE> r{};
    Noise n(0x61D0001);
    for (auto &b : r) {
        b = n.next();
    }
    return r;
}

inline std::array<std::uint8_t, QUARN_HID_COMPATIBLE_REPORT_SIZE> compatible_report() {
    std::array<std::uint8_t, QUARN_HID_COMPATIBLE_REPORT_SIZE> r{};
    Noise n(0x61D0002);
    for (auto &b : r) {
        b = n.next();
    }
    r[0] = QUARN_FRAME_HEAD;
    return r;
}

// Standard-range values (0 to 1200) as the conversion expects them.
inline std::array<std::uint16_t, QUARN_SBUS_CHANNEL_COUNT> channel_set() {
    std::array<std::uint16_t, QUARN_SBUS_CHANNEL_COUNT> c{};
    for (std::size_t k = 0; k < c.size(); ++k) {
        c[k] = static_cast<std::uint16_t>(75 * k);
    }
    return c;
}

} // namespace quarn_bench

#endif
