// Fuzzes the SBUS functions. The input gives 16 channel values, two bytes
// each, low byte first; missing bytes are 0 and bytes past the 32nd unused.
//
// Properties:
//   convert_std_sbus_data: writes 16 values and nothing beside them; every
//     result is at most 2047, and 2047 exactly for inputs from 1200 on; a
//     larger input never gives a smaller result; in place gives the same.
//   encode_sbus_data_v1 and _v2: write bytes 1 to 24 only (byte 0 and guard
//     bytes on both sides stay); each channel reads back from its 11 bits
//     (frame bit 8 + 11k + b) as its value clamped to 2047, so a channel
//     above 2047 never changes a neighbour, and the frame equals the frame of
//     the clamped channels; byte 23 is 0; byte 24 is 0 from v1 and 0x04,
//     0x14, 0x24, 0x34 in turn over this process's v2 calls.
//   Null pointers: nothing is written and v2's cycle does not advance.
#include "QuarnInterface.h"
#include "fuzz_support.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using fuzz::Guarded;
using fuzz::kFill;
using fuzz::require;

using ChannelSet = std::array<std::uint16_t, QUARN_SBUS_CHANNEL_COUNT>;
using SbusFrame = std::array<std::uint8_t, QUARN_SBUS_FRAME_SIZE>;

constexpr std::uint16_t kMax = QUARN_SBUS_CHANNEL_MAX;
constexpr std::uint16_t kFirstSaturatingInput = 1200;
constexpr std::size_t kBitsPerByte = 8;
constexpr std::size_t kFirstChannelBit = kBitsPerByte; // after the start byte
constexpr std::size_t kFlagsByte = QUARN_SBUS_FLAGS_BYTE;
constexpr std::size_t kEndByte = QUARN_SBUS_END_BYTE;
constexpr std::uint8_t kV2FirstEnd = 0x04;
constexpr std::uint8_t kV2EndStep = 0x10;
constexpr unsigned kV2Cycle = 4;

// Channel k from its 11 bits, least significant first.
std::uint16_t read_channel(const std::uint8_t *frame, std::size_t k) {
    unsigned v = 0;
    for (std::size_t b = 0; b < QUARN_SBUS_CHANNEL_BITS; ++b) {
        const std::size_t bit = kFirstChannelBit + QUARN_SBUS_CHANNEL_BITS * k + b;
        v |= ((frame[bit / kBitsPerByte] >> (bit % kBitsPerByte)) & 1U) << b;
    }
    return static_cast<std::uint16_t>(v);
}

unsigned v2_calls = 0;

void check_convert(const ChannelSet &src) {
    // Inputs in a heap block of exactly 16 values: a read past it is caught.
    std::vector<std::uint16_t> in(src.begin(), src.end());
    auto out = std::make_unique<Guarded<ChannelSet>>();
    convert_std_sbus_data(nullptr, in.data());
    convert_std_sbus_data(out->value.data(), nullptr);
    require(out->untouched(), "convert: null pointer call wrote");

    convert_std_sbus_data(out->value.data(), in.data());
    require(out->guards_intact(), "convert: write beyond 16 values");
    require(std::equal(in.begin(), in.end(), src.begin()), "convert: input changed");
    const ChannelSet &dst = out->value;
    for (std::size_t k = 0; k < dst.size(); ++k) {
        require(dst[k] <= kMax, "convert: result above 2047");
        require((dst[k] == kMax) == (src[k] >= kFirstSaturatingInput),
                "convert: 2047 not exactly from 1200 on");
        for (std::size_t j = 0; j < dst.size(); ++j) {
            require(src[j] > src[k] || dst[j] <= dst[k], "convert: not monotonic");
        }
    }
    convert_std_sbus_data(in.data(), in.data());
    require(std::equal(in.begin(), in.end(), dst.begin()), "convert: in place differs");
}

void check_encoders(const ChannelSet &channels) {
    std::vector<std::uint16_t> in(channels.begin(), channels.end());
    std::vector<std::uint16_t> clamped(in);
    for (auto &c : clamped) {
        c = std::min(c, kMax);
    }

    auto v1 = std::make_unique<Guarded<SbusFrame>>();
    encode_sbus_data_v1(v1->value.data(), in.data());
    const SbusFrame &f = v1->value;
    require(v1->guards_intact(), "v1: write outside the 25 bytes");
    require(f[0] == kFill, "v1: wrote the start byte");
    require(f[kFlagsByte] == 0, "v1: flags byte not 0");
    require(f[kEndByte] == 0, "v1: end byte not 0");
    require(std::equal(in.begin(), in.end(), channels.begin()), "v1: input changed");
    for (std::size_t k = 0; k < QUARN_SBUS_CHANNEL_COUNT; ++k) {
        require(read_channel(f.data(), k) == clamped[k],
                "v1: a channel does not read back as its clamped value");
    }
    std::vector<std::uint8_t> exact(QUARN_SBUS_FRAME_SIZE, kFill);
    encode_sbus_data_v1(exact.data(), clamped.data());
    require(std::equal(exact.begin(), exact.end(), f.begin()),
            "v1: frame differs from the frame of the clamped channels");

    auto untouched = std::make_unique<Guarded<SbusFrame>>();
    encode_sbus_data_v1(nullptr, in.data());
    encode_sbus_data_v1(untouched->value.data(), nullptr);
    encode_sbus_data_v2(nullptr, in.data());
    encode_sbus_data_v2(untouched->value.data(), nullptr);
    require(untouched->untouched(), "encoder: null pointer call wrote");

    auto v2 = std::make_unique<Guarded<SbusFrame>>();
    encode_sbus_data_v2(v2->value.data(), in.data());
    require(v2->guards_intact(), "v2: write outside the 25 bytes");
    require(std::equal(f.begin(), f.begin() + kEndByte, v2->value.begin()),
            "v2: bytes 0 to 23 differ from v1");
    const auto end = static_cast<std::uint8_t>(kV2FirstEnd + kV2EndStep * (v2_calls % kV2Cycle));
    require(v2->value[kEndByte] == end, "v2: end byte out of its cycle");
    ++v2_calls;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    ChannelSet channels{};
    for (std::size_t k = 0; k < channels.size(); ++k) {
        const std::size_t lo = 2 * k;
        const unsigned low = lo < size ? data[lo] : 0;
        const unsigned high = lo + 1 < size ? data[lo + 1] : 0;
        channels[k] = static_cast<std::uint16_t>(low | high << kBitsPerByte);
    }
    check_convert(channels);
    check_encoders(channels);
    return 0;
}
