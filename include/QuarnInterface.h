/*
 * QuarnInterface: host-side protocol library for the Quarn control device.
 *
 * The library does no I/O. The host owns the link (a serial port or a HID
 * handle), hands the library what it received, and sends what the library
 * writes into the host's buffers. Nothing is allocated; every output buffer
 * belongs to the caller and has the fixed size stated next to its function.
 *
 * Typical exchange over the serial link:
 *
 *   uint8_t  req[QUARN_UPLOAD_REQUEST_SIZE];
 *   uint16_t channels[QUARN_CHANNEL_COUNT], ports[QUARN_PORT_COUNT];
 *   quarn_start_new_stream();                      -> nothing left of a lost link
 *   request_upload_port_data(req, 0, 0);           -> send req to the device
 *   while (streaming)                              -> read 1..255 bytes
 *       if (parse_port_data(chunk, n, channels, ports)) use(channels, ports);
 *   stop_upload_port_data(stop);                   -> send stop to the device
 *
 * Thread safety: parse_port_data keeps one reassembly state per loaded
 * library, so it serves exactly one byte stream and its calls must not
 * overlap; quarn_start_new_stream() drops what it kept when a stream begins
 * again (a reconnect, a reopened port, a replay). encode_sbus_data_v2
 * keeps a frame counter. Every other function is a pure function of its
 * arguments.
 *
 * Null pointers: where a function needs memory and gets a null pointer, the
 * call does nothing (flag functions return 0). parse_port_data additionally
 * accepts null channels or ports and then skips just those values.
 */
#ifndef QUARN_INTERFACE_H
#define QUARN_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

/* Version of this header and of the library built from it. */
#define QUARN_INTERFACE_VERSION_MAJOR 1
#define QUARN_INTERFACE_VERSION_MINOR 0
#define QUARN_INTERFACE_VERSION_PATCH 0
/* One comparable number: major * 10000 + minor * 100 + patch. */
#define QUARN_INTERFACE_VERSION                                                                    \
    (QUARN_INTERFACE_VERSION_MAJOR * 10000 + QUARN_INTERFACE_VERSION_MINOR * 100 +                 \
     QUARN_INTERFACE_VERSION_PATCH)

/*
 * QUARN_API marks the eight exported functions. They use the platform's
 * default C calling convention (cdecl on 32-bit Windows) and undecorated
 * names, so any FFI can bind them by name.
 */
#if defined(_WIN32)
#if defined(QUARN_INTERFACE_BUILDING)
#define QUARN_API __declspec(dllexport)
#else
#define QUARN_API __declspec(dllimport)
#endif
#elif defined(QUARN_INTERFACE_BUILDING) && defined(__GNUC__)
#define QUARN_API __attribute__((visibility("default")))
#else
#define QUARN_API
#endif

/* ------------------------------------------------------------------------
 * Port-data frame (both directions of the serial link)
 *
 *   offset  size  field
 *   +------+-----+---------------------------------------------+
 *   |  0   |  1  | start byte 0xFA                             |
 *   |  1   |  1  | command (0xE5 request, 0xE4 stop, 0xA5 data)|
 *   |  2   |  2  | payload length L, little-endian             |
 *   |  4   |  L  | payload                                     |
 *   | 4+L  |  1  | trailer 0x5F                                |
 *   +------+-----+---------------------------------------------+
 *
 * No checksum, no escaping: 0xFA and 0x5F may appear anywhere inside.
 * A frame is recognised by its start byte, its length and a trailer where
 * the length says. Frames longer than QUARN_MAX_FRAME_SIZE cannot be held
 * and a start byte declaring such a length is not taken as a frame start.
 * ---------------------------------------------------------------------- */
#define QUARN_FRAME_HEAD 0xFA
#define QUARN_FRAME_TAIL 0x5F
#define QUARN_CMD_UPLOAD_REQUEST 0xE5
#define QUARN_CMD_UPLOAD_STOP 0xE4
#define QUARN_CMD_PORT_DATA 0xA5

#define QUARN_FRAME_HEADER_SIZE 4 /* start, command, 2 length bytes */
#define QUARN_FRAME_TRAILER_SIZE 1
#define QUARN_FRAME_OVERHEAD (QUARN_FRAME_HEADER_SIZE + QUARN_FRAME_TRAILER_SIZE)
/* The reassembly buffer: the longest frame the parser can complete. */
#define QUARN_MAX_FRAME_SIZE 500
#define QUARN_MAX_PAYLOAD_SIZE (QUARN_MAX_FRAME_SIZE - QUARN_FRAME_OVERHEAD) /* 495 */

/* ------------------------------------------------------------------------
 * Data-frame payload (command 0xA5). Byte 0 is the type; every value is
 * 16 bits little-endian (low byte first).
 *
 *   type 0, 25 bytes:
 *   +---+------------------------+
 *   | 0 | 1 .. 24                |
 *   | 0 | channels[0..11]        |
 *   +---+------------------------+
 *
 *   type 1, 65 bytes:
 *   +---+------------------------+------------------------+
 *   | 0 | 1 .. 32                | 33 .. 64               |
 *   | 1 | ports[0..15]           | ports[16..31]          |
 *   +---+------------------------+------------------------+
 *
 *   type 2, 95 bytes:
 *   +---+-----------------+---------+----------------+----------------+
 *   | 0 | 1 .. 24         | 25 .. 30| 31 .. 62       | 63 .. 94       |
 *   | 2 | channels[0..11] | unused  | ports[0..15]   | ports[16..31]  |
 *   +---+-----------------+---------+----------------+----------------+
 *
 * Other types carry nothing the library decodes. Bytes past the layout are
 * ignored; a payload shorter than its type's layout writes nothing.
 * ---------------------------------------------------------------------- */
#define QUARN_CHANNEL_COUNT 12
#define QUARN_PORT_COUNT 32
#define QUARN_PORT_GROUP_SIZE 16
#define QUARN_PAYLOAD_TYPE_CHANNELS 0
#define QUARN_PAYLOAD_TYPE_PORTS 1
#define QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS 2

/* The payload layouts, composed from their parts. Offsets count from the
 * type byte, which is payload byte 0. */
#define QUARN_VALUE_SIZE 2                                  /* one 16-bit value, low byte first */
#define QUARN_PAYLOAD_TYPE_SIZE 1                           /* the type byte */
#define QUARN_PAYLOAD_VALUES_OFFSET QUARN_PAYLOAD_TYPE_SIZE /* first value of every type */
#define QUARN_CHANNELS_SIZE (QUARN_CHANNEL_COUNT * QUARN_VALUE_SIZE)      /* 24 */
#define QUARN_PORT_GROUP_BYTES (QUARN_PORT_GROUP_SIZE * QUARN_VALUE_SIZE) /* 32 */
#define QUARN_PORTS_SIZE (QUARN_PORT_COUNT * QUARN_VALUE_SIZE)            /* 64 */
#define QUARN_TYPE2_GAP_SIZE 6 /* type 2: bytes 25 .. 30, never read */

#define QUARN_TYPE0_PAYLOAD_SIZE (QUARN_PAYLOAD_VALUES_OFFSET + QUARN_CHANNELS_SIZE) /* 25 */
#define QUARN_TYPE1_PAYLOAD_SIZE (QUARN_PAYLOAD_VALUES_OFFSET + QUARN_PORTS_SIZE)    /* 65 */
/* Where ports[0] starts in a type-2 payload; ports[16] follows 32 bytes on. */
#define QUARN_TYPE2_PORTS_OFFSET (QUARN_TYPE0_PAYLOAD_SIZE + QUARN_TYPE2_GAP_SIZE) /* 31 */
#define QUARN_TYPE2_PAYLOAD_SIZE (QUARN_TYPE2_PORTS_OFFSET + QUARN_PORTS_SIZE)     /* 95 */

/* Sizes of the two host commands. */
#define QUARN_UPLOAD_REQUEST_SIZE (QUARN_FRAME_OVERHEAD + 2) /* 7 */
#define QUARN_UPLOAD_STOP_SIZE QUARN_FRAME_OVERHEAD          /* 5 */

/* ------------------------------------------------------------------------
 * HID game-controller report, 19 bytes -> controller_state.values[0..10]
 *
 *   +-------+------------------------------------------+
 *   | bytes | value                                    |
 *   +-------+------------------------------------------+
 *   |  0  1 | v0   16 bits                             |
 *   |  2  3 | v1   16 bits                             |
 *   |  4  5 | v2   16 bits                             |
 *   |  6  7 | v3   12 bits: r6, low nibble of r7       |
 *   |  7  8 | v4   12 bits: high nibble of r7, r8      |
 *   |  9 10 | v5   12 bits: r9, low nibble of r10      |
 *   | 10 11 | v6   12 bits: high nibble of r10, r11    |
 *   | 12 13 | v7   12 bits: r12, low nibble of r13     |
 *   |    13 | v8    4 bits: high nibble of r13         |
 *   | 14 15 | v9   16 bits                             |
 *   | 16 17 | v10  16 bits                             |
 *   |    18 | not read                                 |
 *   +-------+------------------------------------------+
 *
 *   v0, v1, v2, v9, v10: 16 bits, little-endian.
 *   v3 = r6 | (r7 & 0x0F) << 8         v4 = r7 >> 4 | r8 << 4
 *   v5 = r9 | (r10 & 0x0F) << 8        v6 = r10 >> 4 | r11 << 4
 *   v7 = r12 | (r13 & 0x0F) << 8       v8 = r13 >> 4            (0..15)
 * ---------------------------------------------------------------------- */
#define QUARN_HID_GAME_CONTROLLER_REPORT_SIZE 19
#define QUARN_CONTROLLER_VALUE_COUNT 11

/* Decoded game-controller report: values numbered 0 to 10 as drawn above. */
typedef struct controller_state {
    uint16_t values[QUARN_CONTROLLER_VALUE_COUNT];
} controller_state;

/* ------------------------------------------------------------------------
 * HID compatible-device report, 29 bytes -> channels[0..11]
 *
 *   +------+---------+----------------------------------+------+
 *   |  0   | 1 .. 3  | 4 .. 27                          |  28  |
 *   | 0xFA | ignored | channels[0..11], 16-bit LE each  |ignor.|
 *   +------+---------+----------------------------------+------+
 * ---------------------------------------------------------------------- */
#define QUARN_HID_COMPATIBLE_VALUES_OFFSET 4 /* channels[0] starts at byte 4 */
#define QUARN_HID_COMPATIBLE_REPORT_SIZE                                                           \
    (QUARN_HID_COMPATIBLE_VALUES_OFFSET + QUARN_CHANNELS_SIZE + 1) /* 29 */

/* ------------------------------------------------------------------------
 * SBUS frame, 25 bytes
 *
 *   +------+---------------------------------+-------+----------+
 *   |  0   | 1 .. 22                         |  23   |   24     |
 *   | 0x0F | 16 channels x 11 bits, LSB first| flags | end byte |
 *   | (by  | bit b of channel k is frame     | 0     | v1: 0    |
 *   |caller| bit 8 + 11k + b                 |       | v2: cycle|
 *   +------+---------------------------------+-------+----------+
 *
 * The encoders never write byte 0: the caller sets the start byte once.
 * v2's end byte runs 0x04, 0x14, 0x24, 0x34, 0x04, ... from the first call
 * after the library is loaded.
 * ---------------------------------------------------------------------- */
#define QUARN_SBUS_CHANNEL_COUNT 16
#define QUARN_SBUS_CHANNEL_BITS 11
#define QUARN_SBUS_CHANNEL_MAX 2047
#define QUARN_SBUS_START_BYTE 0x0F
#define QUARN_SBUS_CHANNELS_OFFSET 1 /* behind the start byte */
#define QUARN_SBUS_CHANNELS_SIZE (QUARN_SBUS_CHANNEL_COUNT * QUARN_SBUS_CHANNEL_BITS / 8) /* 22 */
#define QUARN_SBUS_FLAGS_BYTE (QUARN_SBUS_CHANNELS_OFFSET + QUARN_SBUS_CHANNELS_SIZE)     /* 23 */
#define QUARN_SBUS_END_BYTE (QUARN_SBUS_FLAGS_BYTE + 1)                                   /* 24 */
#define QUARN_SBUS_FRAME_SIZE (QUARN_SBUS_END_BYTE + 1)                                   /* 25 */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Writes the upload request FA E5 02 00 first second 5F.
 *   out: caller's buffer of QUARN_UPLOAD_REQUEST_SIZE (7) bytes; exactly those
 *        7 bytes are written. The request bytes are copied unchanged.
 */
QUARN_API void request_upload_port_data(uint8_t *out, uint8_t first, uint8_t second);

/*
 * Writes the stop command FA E4 00 00 5F.
 *   out: caller's buffer of QUARN_UPLOAD_STOP_SIZE (5) bytes.
 */
QUARN_API void stop_upload_port_data(uint8_t *out);

/*
 * Feeds received bytes to the stream parser and decodes every complete data
 * frame into the caller's arrays (a later frame overwrites an earlier one).
 *   data:     len bytes, read only during the call. Any chunking works: the
 *             same bytes cut differently decode to the same values.
 *   channels: caller's array of QUARN_CHANNEL_COUNT (12) values, or NULL.
 *   ports:    caller's array of QUARN_PORT_COUNT (32) values, or NULL.
 * Returns 1 if at least one data frame (any type) was decoded in this call,
 * else 0. An unfinished frame is kept for the next call; no byte is dropped.
 * Not thread-safe: one stream per loaded library. Where a stream begins
 * again, call quarn_start_new_stream() (below) first.
 */
QUARN_API uint8_t parse_port_data(const uint8_t *data, uint8_t len, uint16_t *channels,
                                  uint16_t *ports);

/*
 * Starts a new stream: call it wherever a stream begins again (after a
 * reconnect, after the port was closed and reopened, before a replay).
 *
 * The parser's reassembly state belongs to the loaded library, not to a
 * connection, so the unfinished frame of a lost connection would otherwise be
 * completed by the first bytes of the next one. When the byte at the old
 * frame's trailer position happens to be 0x5F, that makes a frame the device
 * never sent, decoded and reported as good, and the real frame is lost.
 *
 * The helper adds no export: it feeds QUARN_NEW_STREAM_FLUSH_SIZE zero bytes,
 * in chunks of the largest size a call takes, with both arrays NULL. That
 * suffices: no frame claims more than QUARN_MAX_FRAME_SIZE bytes, so every
 * retained start byte has its claimed end inside the zeros and is decided;
 * a zero is never a start byte, so none is retained; and a zero is never a
 * trailer, so no retained start byte completes a frame. With both arrays NULL
 * nothing is written in any case.
 */
#define QUARN_MAX_CHUNK_SIZE 255 /* the most bytes one parse_port_data call takes */
/* Two whole chunks, 510 bytes: more than any frame claims (QUARN_MAX_FRAME_SIZE). */
#define QUARN_NEW_STREAM_FLUSH_SIZE (QUARN_MAX_CHUNK_SIZE + QUARN_MAX_CHUNK_SIZE)
static inline void quarn_start_new_stream(void) {
    static const uint8_t zeros[QUARN_MAX_CHUNK_SIZE] = {0};
    int fed;
    for (fed = 0; fed < QUARN_NEW_STREAM_FLUSH_SIZE; fed += QUARN_MAX_CHUNK_SIZE) {
        (void)parse_port_data(zeros, (uint8_t)QUARN_MAX_CHUNK_SIZE, NULL, NULL);
    }
}

/*
 * Decodes a 19-byte HID game-controller report.
 *   state:  caller's record of 11 values; written only on success.
 *   report: len bytes.
 * Returns 1 when len is QUARN_HID_GAME_CONTROLLER_REPORT_SIZE, else 0.
 */
QUARN_API uint8_t parse_hid_game_controller_device(controller_state *state, const uint8_t *report,
                                                   uint8_t len);

/*
 * Decodes a 29-byte HID compatible-device report.
 *   channels: caller's array of QUARN_CHANNEL_COUNT (12) values; written only
 *             on success.
 *   report:   len bytes.
 * Returns 1 when len is QUARN_HID_COMPATIBLE_REPORT_SIZE and report[0] is
 * 0xFA, else 0 (report[0] is not read when the length is wrong).
 */
QUARN_API uint8_t parse_hid_compatible_device(uint16_t *channels, const uint8_t *report,
                                              uint8_t len);

/*
 * Scales 16 values from the device's standard range to SBUS:
 * dst[k] = min(src[k] * 1.706 truncated, 2047). 600 -> 1023, 1200 -> 2047.
 *   dst, src: QUARN_SBUS_CHANNEL_COUNT (16) values each; may be the same array.
 */
QUARN_API void convert_std_sbus_data(uint16_t *dst, const uint16_t *src);

/*
 * Packs 16 channels into bytes 1 to 24 of an SBUS frame, end byte 0.
 *   frame:       caller's QUARN_SBUS_FRAME_SIZE (25) bytes; byte 0 untouched.
 *   channel_set: QUARN_SBUS_CHANNEL_COUNT (16) values; each is clamped to
 *                2047, so a value out of range never disturbs a neighbour.
 */
QUARN_API void encode_sbus_data_v1(uint8_t *frame, const uint16_t *channel_set);

/*
 * As encode_sbus_data_v1, with the cycling end byte 0x04, 0x14, 0x24, 0x34.
 * The cycle position is process-wide and advances atomically, so concurrent
 * callers never repeat or skip an end byte.
 */
QUARN_API void encode_sbus_data_v2(uint8_t *frame, const uint16_t *channel_set);

#ifdef __cplusplus
}
#endif

#endif /* QUARN_INTERFACE_H */
