// QuarnInterface: the eight exported functions, the payload decoder and the
// library's only state (the parser's reassembly buffer and v2's counter).
//
// Built without exceptions, RTTI or the C++ runtime: the shared library
// needs nothing but the C library.

#include "QuarnInterface.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

constexpr std::size_t kFrameHeader = QUARN_FRAME_HEADER_SIZE;
constexpr std::size_t kFrameOverhead = QUARN_FRAME_OVERHEAD;
constexpr std::size_t kBufferSize = QUARN_MAX_FRAME_SIZE;
constexpr std::size_t kMaxPayload = QUARN_MAX_PAYLOAD_SIZE;
constexpr std::size_t kValueSize = 2;

constexpr std::size_t kTypeSize = 1;
constexpr std::size_t kChannelsSize = QUARN_CHANNEL_COUNT * kValueSize;
constexpr std::size_t kPortsSize = QUARN_PORT_COUNT * kValueSize;
constexpr std::size_t kType2GapSize = 6;
constexpr std::size_t kType0Layout = kTypeSize + kChannelsSize;
constexpr std::size_t kType1Layout = kTypeSize + kPortsSize;
constexpr std::size_t kType2PortsOffset = kType0Layout + kType2GapSize;
constexpr std::size_t kType2Layout = kType2PortsOffset + kPortsSize;

static_assert(kMaxPayload + kFrameOverhead == kBufferSize, "longest frame fills the buffer");
static_assert(kType0Layout == 25 && kType1Layout == 65 && kType2Layout == 95, "payload layouts");
static_assert(kType2Layout <= kMaxPayload, "every layout fits in a frame");
static_assert(QUARN_UPLOAD_REQUEST_SIZE == 7 && QUARN_UPLOAD_STOP_SIZE == 5, "command sizes");

constexpr std::size_t kHidCompatibleValuesOffset = 4;
static_assert(kHidCompatibleValuesOffset + kChannelsSize + 1 == QUARN_HID_COMPATIBLE_REPORT_SIZE,
              "compatible report: header, 12 values, one ignored byte");

constexpr unsigned kSbusMax = QUARN_SBUS_CHANNEL_MAX;
constexpr std::size_t kSbusFlagsByte = 23;
constexpr std::size_t kSbusEndByte = 24;
static_assert(1 + QUARN_SBUS_CHANNEL_COUNT * QUARN_SBUS_CHANNEL_BITS / 8 + 2 ==
                  QUARN_SBUS_FRAME_SIZE,
              "SBUS: start byte, 22 channel bytes, flags, end byte");

// The conversion factor 1.706 as an exact ratio: the double product truncated
// equals this integer quotient for every 16-bit input.
constexpr std::uint32_t kStdToSbusNum = 1706;
constexpr std::uint32_t kStdToSbusDen = 1000;
static_assert(UINT16_MAX * kStdToSbusNum <= UINT32_MAX, "conversion stays in 32 bits");

std::uint16_t read_le16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void read_le16_run(std::uint16_t *out, const std::uint8_t *p, std::size_t count) {
    for (std::size_t k = 0; k < count; ++k) {
        out[k] = read_le16(p + k * kValueSize);
    }
}

// Decodes a data-frame payload of payload_len bytes. A payload shorter than
// its type's layout writes nothing: nothing beyond the frame is ever read.
void decode_e5_func(const std::uint8_t *payload, std::size_t payload_len, std::uint16_t *channels,
                    std::uint16_t *ports) {
    if (payload_len < kTypeSize) {
        return;
    }
    const std::uint8_t *values = payload + kTypeSize;
    switch (payload[0]) {
    case QUARN_PAYLOAD_TYPE_CHANNELS:
        if (payload_len >= kType0Layout && channels != nullptr) {
            read_le16_run(channels, values, QUARN_CHANNEL_COUNT);
        }
        break;
    case QUARN_PAYLOAD_TYPE_PORTS:
        if (payload_len >= kType1Layout && ports != nullptr) {
            read_le16_run(ports, values, QUARN_PORT_COUNT);
        }
        break;
    case QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS:
        if (payload_len >= kType2Layout) {
            if (channels != nullptr) {
                read_le16_run(channels, values, QUARN_CHANNEL_COUNT);
            }
            if (ports != nullptr) {
                read_le16_run(ports, payload + kType2PortsOffset, QUARN_PORT_COUNT);
            }
        }
        break;
    default:
        break;
    }
}

// Scans the first `total` bytes of the reassembly buffer, decoding every
// complete data frame in stream order. Returns how many bytes remain: an
// unfinished frame, moved to the front of the buffer. The retained bytes are
// always shorter than the frame they start, which is at most kBufferSize, so
// the buffer never fills up with a frame that cannot complete.
std::size_t scan_frames(std::uint8_t *buffer, std::size_t total, std::uint16_t *channels,
                        std::uint16_t *ports, std::uint8_t *decoded) {
    std::size_t p = 0;
    while (p < total) {
        const void *head = std::memchr(buffer + p, QUARN_FRAME_HEAD, total - p);
        if (head == nullptr) {
            return 0;
        }
        p = static_cast<std::size_t>(static_cast<const std::uint8_t *>(head) - buffer);
        const std::size_t available = total - p;
        if (available < kFrameHeader) {
            break;
        }
        const std::size_t payload_len = read_le16(buffer + p + 2);
        if (payload_len > kMaxPayload) {
            // Could never complete within the buffer: not a frame start.
            ++p;
            continue;
        }
        const std::size_t frame_len = payload_len + kFrameOverhead;
        if (available < frame_len) {
            break;
        }
        if (buffer[p + frame_len - 1] != QUARN_FRAME_TAIL) {
            // Drop only this start byte: a real frame may begin inside the
            // span it claimed.
            ++p;
            continue;
        }
        const std::uint8_t command = buffer[p + 1];
        if (command == QUARN_CMD_PORT_DATA) {
            decode_e5_func(buffer + p + kFrameHeader, payload_len, channels, ports);
            *decoded = 1;
            p += frame_len;
        } else if (command == QUARN_CMD_UPLOAD_REQUEST) {
            p += frame_len;
        } else {
            // Unknown commands are not trusted to delimit anything.
            ++p;
        }
    }
    if (p >= total) {
        return 0;
    }
    const std::size_t retained = total - p;
    if (p > 0) {
        std::memmove(buffer, buffer + p, retained);
    }
    return retained;
}

// Channels are clamped to 11 bits, so an out-of-range value saturates its own
// channel instead of spilling into the neighbour's bits.
void pack_sbus_channels(std::uint8_t *frame, const std::uint16_t *channel_set) {
    std::uint32_t c[QUARN_SBUS_CHANNEL_COUNT];
    for (std::size_t k = 0; k < QUARN_SBUS_CHANNEL_COUNT; ++k) {
        c[k] = channel_set[k] > kSbusMax ? kSbusMax : channel_set[k];
    }
    // Each half of 8 channels fills 11 bytes with the same pattern: channel k
    // starts at frame bit 8 + 11k, least significant bit first.
    for (std::size_t half = 0; half < 2; ++half) {
        const std::uint32_t *h = c + half * 8;
        std::uint8_t *b = frame + 1 + half * 11;
        b[0] = static_cast<std::uint8_t>(h[0]);
        b[1] = static_cast<std::uint8_t>((h[0] >> 8) | (h[1] << 3));
        b[2] = static_cast<std::uint8_t>((h[1] >> 5) | (h[2] << 6));
        b[3] = static_cast<std::uint8_t>(h[2] >> 2);
        b[4] = static_cast<std::uint8_t>((h[2] >> 10) | (h[3] << 1));
        b[5] = static_cast<std::uint8_t>((h[3] >> 7) | (h[4] << 4));
        b[6] = static_cast<std::uint8_t>((h[4] >> 4) | (h[5] << 7));
        b[7] = static_cast<std::uint8_t>(h[5] >> 1);
        b[8] = static_cast<std::uint8_t>((h[5] >> 9) | (h[6] << 2));
        b[9] = static_cast<std::uint8_t>((h[6] >> 6) | (h[7] << 5));
        b[10] = static_cast<std::uint8_t>(h[7] >> 3);
    }
    frame[kSbusFlagsByte] = 0;
}

} // namespace

extern "C" {

QUARN_API void request_upload_port_data(std::uint8_t *out, std::uint8_t first,
                                        std::uint8_t second) {
    if (out == nullptr) {
        return;
    }
    out[0] = QUARN_FRAME_HEAD;
    out[1] = QUARN_CMD_UPLOAD_REQUEST;
    out[2] = 2;
    out[3] = 0;
    out[4] = first;
    out[5] = second;
    out[6] = QUARN_FRAME_TAIL;
}

QUARN_API void stop_upload_port_data(std::uint8_t *out) {
    if (out == nullptr) {
        return;
    }
    out[0] = QUARN_FRAME_HEAD;
    out[1] = QUARN_CMD_UPLOAD_STOP;
    out[2] = 0;
    out[3] = 0;
    out[4] = QUARN_FRAME_TAIL;
}

QUARN_API std::uint8_t parse_port_data(const std::uint8_t *data, std::uint8_t len,
                                       std::uint16_t *channels, std::uint16_t *ports) {
    // Invariant: empty, or exactly one unfinished frame from its start byte
    // on, which is always shorter than the buffer.
    static std::uint8_t buffer[kBufferSize];
    static std::uint16_t temp_buffer_len;

    if (data == nullptr) {
        return 0;
    }
    std::uint8_t decoded = 0;
    std::size_t consumed = 0;
    // A chunk that does not fit behind the retained frame is taken in pieces,
    // so no byte is ever dropped and any cut of a stream decodes the same.
    while (consumed < len) {
        const std::size_t room = kBufferSize - temp_buffer_len;
        const std::size_t rest = len - consumed;
        const std::size_t piece = rest < room ? rest : room;
        std::memcpy(buffer + temp_buffer_len, data + consumed, piece);
        consumed += piece;
        const std::size_t total = temp_buffer_len + piece;
        temp_buffer_len =
            static_cast<std::uint16_t>(scan_frames(buffer, total, channels, ports, &decoded));
    }
    return decoded;
}

QUARN_API std::uint8_t parse_hid_game_controller_device(controller_state *state,
                                                        const std::uint8_t *report,
                                                        std::uint8_t len) {
    if (state == nullptr || report == nullptr || len != QUARN_HID_GAME_CONTROLLER_REPORT_SIZE) {
        return 0;
    }
    std::uint16_t *v = state->values;
    const std::uint8_t *r = report;
    v[0] = read_le16(r + 0);
    v[1] = read_le16(r + 2);
    v[2] = read_le16(r + 4);
    // Five 12-bit values packed two to three bytes, low nibble first.
    v[3] = static_cast<std::uint16_t>(r[6] | ((r[7] & 0x0F) << 8));
    v[4] = static_cast<std::uint16_t>((r[7] >> 4) | (r[8] << 4));
    v[5] = static_cast<std::uint16_t>(r[9] | ((r[10] & 0x0F) << 8));
    v[6] = static_cast<std::uint16_t>((r[10] >> 4) | (r[11] << 4));
    v[7] = static_cast<std::uint16_t>(r[12] | ((r[13] & 0x0F) << 8));
    v[8] = static_cast<std::uint16_t>(r[13] >> 4);
    v[9] = read_le16(r + 14);
    v[10] = read_le16(r + 16);
    return 1;
}

QUARN_API std::uint8_t parse_hid_compatible_device(std::uint16_t *channels,
                                                   const std::uint8_t *report, std::uint8_t len) {
    if (channels == nullptr || report == nullptr || len != QUARN_HID_COMPATIBLE_REPORT_SIZE ||
        report[0] != QUARN_FRAME_HEAD) {
        return 0;
    }
    read_le16_run(channels, report + kHidCompatibleValuesOffset, QUARN_CHANNEL_COUNT);
    return 1;
}

QUARN_API void convert_std_sbus_data(std::uint16_t *dst, const std::uint16_t *src) {
    if (dst == nullptr || src == nullptr) {
        return;
    }
    for (std::size_t k = 0; k < QUARN_SBUS_CHANNEL_COUNT; ++k) {
        const std::uint32_t scaled = src[k] * kStdToSbusNum / kStdToSbusDen;
        dst[k] = static_cast<std::uint16_t>(scaled > kSbusMax ? kSbusMax : scaled);
    }
}

QUARN_API void encode_sbus_data_v1(std::uint8_t *frame, const std::uint16_t *channel_set) {
    if (frame == nullptr || channel_set == nullptr) {
        return;
    }
    pack_sbus_channels(frame, channel_set);
    frame[kSbusEndByte] = 0;
}

QUARN_API void encode_sbus_data_v2(std::uint8_t *frame, const std::uint16_t *channel_set) {
    // Relaxed is enough: only the counter's own sequence matters, and the
    // atomic increment hands every caller a distinct position in it.
    static std::atomic<std::uint8_t> i{0};

    if (frame == nullptr || channel_set == nullptr) {
        return;
    }
    const std::uint8_t n = i.fetch_add(1, std::memory_order_relaxed);
    pack_sbus_channels(frame, channel_set);
    frame[kSbusEndByte] = static_cast<std::uint8_t>(0x04 + 0x10 * (n % 4));
}

} // extern "C"

#if defined(_WIN32)
// The DLL keeps no per-process or per-thread resources: nothing to set up or
// release for any reason code.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
#endif
