// The SBUS receiver of quarn-monitor --sbus-in: finds 25-byte frames in a
// byte stream by their start byte and end byte, and unpacks them.
#ifndef QUARN_TOOLS_SBUS_IN_H
#define QUARN_TOOLS_SBUS_IN_H

#include <QuarnInterface.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace quarn::tools {

struct SbusFrame {
    std::array<uint16_t, QUARN_SBUS_CHANNEL_COUNT> channels{};
    bool ch17 = false; // the two digital channels
    bool ch18 = false;
    bool frame_lost = false;
    bool failsafe = false;
    uint8_t end_byte = 0;
};

// Whether a byte can end a frame: 0x00, or one of SBUS2's four end bytes.
bool is_sbus_end_byte(uint8_t byte);

// Unpacks the channels and flags of one whole frame.
SbusFrame unpack_sbus_frame(const uint8_t *frame);

class SbusReceiver {
  public:
    // Feeds received bytes; calls on_frame(const SbusFrame &) for each frame.
    // A start byte whose end byte is not valid is skipped alone and the
    // search goes on inside the rejected bytes, so a frame right after
    // garbage is not lost.
    template <typename OnFrame> void feed(const uint8_t *data, size_t len, OnFrame &&on_frame) {
        for (size_t i = 0; i < len; ++i) {
            if (push(data[i])) {
                on_frame(last_);
            }
        }
    }
    // Counts the bytes of a frame that will never complete as skipped.
    void finish();

    const SbusFrame &last() const {
        return last_;
    }
    uint64_t frames() const {
        return frames_;
    }
    // Bytes since the start that belonged to no frame.
    uint64_t skipped_bytes() const {
        return skipped_;
    }

  private:
    bool push(uint8_t byte);

    // Empty, or the bytes of one candidate frame from its start byte on.
    std::array<uint8_t, QUARN_SBUS_FRAME_SIZE> pending_{};
    size_t fill_ = 0;
    SbusFrame last_;
    uint64_t frames_ = 0;
    uint64_t skipped_ = 0;
};

} // namespace quarn::tools

#endif
