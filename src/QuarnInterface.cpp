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
constexpr std::size_t kNearHead = 8;
constexpr std::size_t kMaxChunk = QUARN_MAX_CHUNK_SIZE;

constexpr std::size_t kType0Layout = QUARN_TYPE0_PAYLOAD_SIZE;
constexpr std::size_t kType1Layout = QUARN_TYPE1_PAYLOAD_SIZE;
constexpr std::size_t kType2Layout = QUARN_TYPE2_PAYLOAD_SIZE;
constexpr std::size_t kValuesOffset = QUARN_PAYLOAD_VALUES_OFFSET;
constexpr std::size_t kType2PortsOffset = QUARN_TYPE2_PORTS_OFFSET;

// The wire layouts are fixed: these catch an edit that changes one by accident.
static_assert(kMaxPayload + kFrameOverhead == kBufferSize, "longest frame fills the buffer");
static_assert(kMaxPayload == 495, "a frame holds at most 495 payload bytes");
static_assert(kType0Layout == 25 && kType1Layout == 65 && kType2Layout == 95, "payload layouts");
static_assert(kType2PortsOffset == 31 && QUARN_PORT_GROUP_BYTES == 32, "type 2: ports at 31, 63");
static_assert(kType2Layout <= kMaxPayload, "every layout fits in a frame");
static_assert(kMaxChunk == UINT8_MAX, "a call takes at most what its 8-bit length can say");
constexpr std::size_t kNewStreamFlush = QUARN_NEW_STREAM_FLUSH_SIZE;
static_assert(kNewStreamFlush % kMaxChunk == 0 && kNewStreamFlush >= kBufferSize,
              "the new-stream flush is whole chunks that outlast any retained frame");
static_assert(QUARN_UPLOAD_REQUEST_SIZE == 7 && QUARN_UPLOAD_STOP_SIZE == 5, "command sizes");
static_assert(QUARN_PORT_COUNT == 2 * QUARN_PORT_GROUP_SIZE &&
                  QUARN_PORT_GROUP_SIZE == QUARN_SBUS_CHANNEL_COUNT,
              "ports are two SBUS channel sets");

constexpr std::size_t kHidCompatibleValuesOffset = QUARN_HID_COMPATIBLE_VALUES_OFFSET;
static_assert(QUARN_HID_COMPATIBLE_REPORT_SIZE == 29 && QUARN_HID_GAME_CONTROLLER_REPORT_SIZE == 19,
              "HID report lengths");

constexpr unsigned kSbusMax = QUARN_SBUS_CHANNEL_MAX;
constexpr std::size_t kSbusFlagsByte = QUARN_SBUS_FLAGS_BYTE;
constexpr std::size_t kSbusEndByte = QUARN_SBUS_END_BYTE;
static_assert(QUARN_SBUS_CHANNEL_COUNT * QUARN_SBUS_CHANNEL_BITS % 8 == 0,
              "SBUS channels fill whole bytes");
static_assert(kSbusFlagsByte == 23 && kSbusEndByte == 24 && QUARN_SBUS_FRAME_SIZE == 25,
              "SBUS: start byte, 22 channel bytes, flags, end byte");
static_assert((1U << QUARN_SBUS_CHANNEL_BITS) - 1 == kSbusMax, "SBUS channels are 11 bits");

// The conversion factor 1.706 as an exact ratio: the double product truncated
// equals this integer quotient for every 16-bit input.
constexpr std::uint32_t kStdToSbusNum = 1706;
constexpr std::uint32_t kStdToSbusDen = 1000;
static_assert(UINT16_MAX * kStdToSbusNum <= UINT32_MAX, "conversion stays in 32 bits");

// The largest input that does not saturate: any larger one gives 2047 too, so
// inputs are clamped to it first. Up to it the quotient equals
// (v * 447218) >> 18, and as 447218 = 6 * 2^16 + 54002 that is
// (6v + high half of v * 54002) >> 2: all in 16 bits, which vectorises to one
// multiply per eight channels where a division by 1000 does not vectorise.
constexpr std::uint16_t kStdSaturated = 1200;
constexpr std::uint32_t kStdToSbusWhole = 6;
constexpr std::uint32_t kStdToSbusFraction = 54002;
constexpr unsigned kStdToSbusShift = 2;

constexpr std::uint16_t std_to_sbus(std::uint16_t v) {
    const auto high = static_cast<std::uint16_t>((v * kStdToSbusFraction) >> 16);
    return static_cast<std::uint16_t>((kStdToSbusWhole * v + high) >> kStdToSbusShift);
}
constexpr bool std_to_sbus_is_exact() {
    for (std::uint32_t v = 0; v <= kStdSaturated; ++v) {
        if (std_to_sbus(static_cast<std::uint16_t>(v)) != v * kStdToSbusNum / kStdToSbusDen) {
            return false;
        }
    }
    return std_to_sbus(kStdSaturated) == QUARN_SBUS_CHANNEL_MAX &&
           (kStdSaturated + 1) * kStdToSbusNum / kStdToSbusDen > QUARN_SBUS_CHANNEL_MAX;
}
static_assert(std_to_sbus_is_exact(), "the 16-bit form equals the quotient up to saturation");

// On a little-endian host the wire's byte order is the memory's: values can
// be copied as they are, which the compiler turns into wide moves.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kLittleEndianHost = true;
#else
constexpr bool kLittleEndianHost = false;
#endif

std::uint16_t read_le16(const std::uint8_t *p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void read_le16_run(std::uint16_t *out, const std::uint8_t *p, std::size_t count) {
    if (kLittleEndianHost) {
        std::memcpy(out, p, count * QUARN_VALUE_SIZE);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) {
        out[k] = read_le16(p + k * QUARN_VALUE_SIZE);
    }
}

// Decodes a data-frame payload of payload_len bytes. A payload shorter than
// its type's layout writes nothing: nothing beyond the frame is ever read.
void decode_e5_func(const std::uint8_t *payload, std::size_t payload_len, std::uint16_t *channels,
                    std::uint16_t *ports) {
    if (payload_len < QUARN_PAYLOAD_TYPE_SIZE) {
        return;
    }
    const std::uint8_t *values = payload + kValuesOffset;
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

// The first start byte at or after `from` in bytes[0, total), or total. A
// retained frame puts one right at the start, found without a call.
std::size_t search_head(const std::uint8_t *bytes, std::size_t from, std::size_t total) {
    if (from < total && bytes[from] == QUARN_FRAME_HEAD) {
        return from;
    }
    const void *head = std::memchr(bytes + from, QUARN_FRAME_HEAD, total - from);
    return head == nullptr
               ? total
               : static_cast<std::size_t>(static_cast<const std::uint8_t *>(head) - bytes);
}

// As search_head, where the scan resumes behind a candidate: start bytes are
// then often close (the next frame right behind one, or a cluster of stray
// ones), so a few bytes are looked at before paying for a call to memchr.
std::size_t next_head(const std::uint8_t *bytes, std::size_t from, std::size_t total) {
    const std::size_t close_end = total - from > kNearHead ? from + kNearHead : total;
    for (; from < close_end; ++from) {
        if (bytes[from] == QUARN_FRAME_HEAD) {
            return from;
        }
    }
    return search_head(bytes, from, total);
}

// Decodes every complete data frame in bytes[0, total) in stream order.
// Returns the position of the first start byte whose frame has not fully
// arrived, or total: the bytes from there on are to be retained. They are
// always shorter than the frame they start, which is at most kBufferSize.
std::size_t scan_frames(const std::uint8_t *bytes, std::size_t total, std::uint16_t *channels,
                        std::uint16_t *ports, std::uint8_t *decoded) {
    std::size_t next = 0;
    for (std::size_t p = search_head(bytes, 0, total);; p = next_head(bytes, next, total)) {
        const std::size_t available = total - p;
        if (available < kFrameHeader) {
            return p; // also when no start byte is left
        }
        // Unless the frame proves whole and skippable, only its start byte
        // is dropped: a real frame may begin inside the span it claimed.
        next = p + 1;
        const std::size_t payload_len = read_le16(bytes + p + 2);
        if (payload_len > kMaxPayload) {
            continue; // could never complete within the buffer: not a start
        }
        const std::size_t frame_len = payload_len + kFrameOverhead;
        if (available < frame_len) {
            return p;
        }
        if (bytes[p + frame_len - 1] != QUARN_FRAME_TAIL) {
            continue;
        }
        const std::uint8_t command = bytes[p + 1];
        if (command == QUARN_CMD_PORT_DATA) {
            decode_e5_func(bytes + p + kFrameHeader, payload_len, channels, ports);
            *decoded = 1;
            next = p + frame_len;
        } else if (command == QUARN_CMD_UPLOAD_REQUEST) {
            next = p + frame_len;
        }
        // Unknown commands are not trusted to delimit anything.
    }
}

// Stores the low `count` bytes of v, least significant first.
void store_le(std::uint8_t *out, std::uint64_t v, std::size_t count) {
    if (kLittleEndianHost) {
        std::memcpy(out, &v, count);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) {
        out[k] = static_cast<std::uint8_t>(v >> (8 * k));
    }
}

// Channels are clamped to 11 bits, so an out-of-range value saturates its own
// channel instead of spilling into the neighbour's bits.
void pack_sbus_channels(std::uint8_t *frame, const std::uint16_t *channel_set) {
    // Clamped in a local copy, which the compiler does eight channels at a time.
    std::uint16_t clamped[QUARN_SBUS_CHANNEL_COUNT];
    std::memcpy(clamped, channel_set, sizeof clamped);
    for (std::uint16_t &c : clamped) {
        c = c > kSbusMax ? static_cast<std::uint16_t>(kSbusMax) : c;
    }
    const auto channel = [&clamped](std::size_t k) -> std::uint64_t { return clamped[k]; };
    // Each half of 8 channels is 88 bits, channel k of the half at bit 11k,
    // least significant bit first: 64 bits (channel 5 spills two bits over)
    // and 24 bits, written as 8 and 3 little-endian bytes.
    for (std::size_t half = 0; half < 2; ++half) {
        const std::size_t k = half * 8;
        const std::uint64_t low = channel(k) | channel(k + 1) << 11 | channel(k + 2) << 22 |
                                  channel(k + 3) << 33 | channel(k + 4) << 44 |
                                  channel(k + 5) << 55;
        const std::uint64_t high = channel(k + 5) >> 9 | channel(k + 6) << 2 | channel(k + 7) << 13;
        std::uint8_t *b = frame + 1 + half * 11;
        store_le(b, low, 8);
        store_le(b + 8, high, 3);
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

    if (data == nullptr || len == 0) {
        return 0;
    }
    // The retained frame and the whole chunk are scanned as one run, so no
    // byte is dropped, any cut of a stream decodes the same, and each start
    // byte is decided as soon as its trailer has arrived. With nothing
    // retained the chunk is scanned where it lies; a chunk that does not fit
    // behind the retained bytes is joined to them on the stack.
    std::uint8_t joined[kBufferSize + kMaxChunk];
    const std::uint8_t *bytes = data;
    const std::size_t total = temp_buffer_len + std::size_t{len};
    if (temp_buffer_len > 0 && total <= kBufferSize) {
        std::memcpy(buffer + temp_buffer_len, data, len);
        bytes = buffer;
    } else if (temp_buffer_len > 0) {
        std::memcpy(joined, buffer, temp_buffer_len);
        std::memcpy(joined + temp_buffer_len, data, len);
        bytes = joined;
    }
    std::uint8_t decoded = 0;
    const std::size_t unfinished = scan_frames(bytes, total, channels, ports, &decoded);
    const std::size_t retained = total - unfinished;
    if (retained > 0 && bytes + unfinished != buffer) {
        std::memmove(buffer, bytes + unfinished, retained);
    }
    temp_buffer_len = static_cast<std::uint16_t>(retained);
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
    // Local copies: dst may be src, and the loop vectorises without aliasing.
    std::uint16_t in[QUARN_SBUS_CHANNEL_COUNT];
    std::uint16_t out[QUARN_SBUS_CHANNEL_COUNT];
    std::memcpy(in, src, sizeof in);
    for (std::size_t k = 0; k < QUARN_SBUS_CHANNEL_COUNT; ++k) {
        out[k] = std_to_sbus(in[k] < kStdSaturated ? in[k] : kStdSaturated);
    }
    std::memcpy(dst, out, sizeof out);
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
