#include "sbus_in.h"

#include <algorithm>

namespace quarn::tools {
namespace {

// SBUS2 end bytes: 0x04, 0x14, 0x24, 0x34.
constexpr uint8_t kSbus2EndLowNibble = 0x04;
constexpr uint8_t kSbus2EndHighNibbleMax = 0x30;
constexpr uint8_t kLowNibble = 0x0F;
constexpr uint8_t kFlagCh17 = 0x01;
constexpr uint8_t kFlagCh18 = 0x02;
constexpr uint8_t kFlagFrameLost = 0x04;
constexpr uint8_t kFlagFailsafe = 0x08;
constexpr unsigned kBitsPerByte = 8;
constexpr unsigned kChannelMask = QUARN_SBUS_CHANNEL_MAX;

} // namespace

bool is_sbus_end_byte(uint8_t byte) {
    return byte == 0 || ((byte & kLowNibble) == kSbus2EndLowNibble &&
                         (byte & static_cast<uint8_t>(~kLowNibble)) <= kSbus2EndHighNibbleMax);
}

SbusFrame unpack_sbus_frame(const uint8_t *frame) {
    SbusFrame f;
    // Bit b of channel k is frame bit 8 + 11k + b, lowest bit first: take
    // the three bytes that hold the channel's first bit and shift.
    for (unsigned k = 0; k < QUARN_SBUS_CHANNEL_COUNT; ++k) {
        const unsigned bit =
            QUARN_SBUS_CHANNELS_OFFSET * kBitsPerByte + QUARN_SBUS_CHANNEL_BITS * k;
        const unsigned byte = bit / kBitsPerByte;
        const uint32_t window = frame[byte] | (static_cast<uint32_t>(frame[byte + 1]) << 8U) |
                                (static_cast<uint32_t>(frame[byte + 2]) << 16U);
        f.channels[k] = static_cast<uint16_t>((window >> (bit % kBitsPerByte)) & kChannelMask);
    }
    const uint8_t flags = frame[QUARN_SBUS_FLAGS_BYTE];
    f.ch17 = (flags & kFlagCh17) != 0;
    f.ch18 = (flags & kFlagCh18) != 0;
    f.frame_lost = (flags & kFlagFrameLost) != 0;
    f.failsafe = (flags & kFlagFailsafe) != 0;
    f.end_byte = frame[QUARN_SBUS_END_BYTE];
    return f;
}

bool SbusReceiver::push(uint8_t byte) {
    if (fill_ == 0 && byte != QUARN_SBUS_START_BYTE) {
        ++skipped_;
        return false;
    }
    pending_[fill_++] = byte;
    if (fill_ < pending_.size()) {
        return false;
    }
    if (is_sbus_end_byte(pending_[QUARN_SBUS_END_BYTE])) {
        last_ = unpack_sbus_frame(pending_.data());
        ++frames_;
        fill_ = 0;
        return true;
    }
    // Not a frame: drop its start byte and go on from the next start byte
    // inside it.
    auto *const next = std::find(pending_.begin() + 1, pending_.end(), QUARN_SBUS_START_BYTE);
    const auto dropped = static_cast<size_t>(next - pending_.begin());
    skipped_ += dropped;
    std::copy(next, pending_.end(), pending_.begin());
    fill_ -= dropped;
    return false;
}

void SbusReceiver::finish() {
    skipped_ += fill_;
    fill_ = 0;
}

} // namespace quarn::tools
