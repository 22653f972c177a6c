// Fuzzes the two HID report decoders. The input is the report, up to 255
// bytes; both decoders get it with its length.
//
// Properties:
//   - a refused report (wrong length, or a compatible report not starting
//     with 0xFA) returns 0 and leaves the output as it was; a report of the
//     wrong length is not read at all (it is poisoned during the call);
//   - an accepted report writes 11 (game controller) or 12 (compatible)
//     values and nothing beside them (guard values around a first output,
//     a heap block of exactly that size for a second one);
//   - the 12-bit values stay below 4096, value 8 below 16, and the bytes the
//     layouts leave unread (18 of the game-controller report, 1 to 3 and 28
//     of the compatible report) change nothing;
//   - a null output or report is refused and writes nothing.
#include "QuarnInterface.h"
#include "fuzz_support.h"

#include <sanitizer/asan_interface.h>

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
using fuzz::require;

constexpr std::uint16_t kMax12Bit = 0x0FFF;
constexpr std::uint16_t kMax4Bit = 0x000F;
constexpr std::size_t kFirst12BitValue = 3;
constexpr std::size_t kLast12BitValue = 7;
constexpr std::size_t kNibbleValue = 8;
constexpr std::size_t kControllerUnreadByte = 18;
constexpr std::size_t kCompatibleUnreadBytes[] = {1, 2, 3, 28};

using Channels = std::array<std::uint16_t, QUARN_CHANNEL_COUNT>;

// Runs decode with the report poisoned, so any read of it is reported.
template <typename F>
std::uint8_t without_reading(std::uint8_t *report, std::size_t size, F decode) {
    ASAN_POISON_MEMORY_REGION(report, size);
    const std::uint8_t result = decode();
    ASAN_UNPOISON_MEMORY_REGION(report, size);
    return result;
}

void check_game_controller(std::uint8_t *report, std::uint8_t len) {
    auto guarded = std::make_unique<Guarded<controller_state>>();
    if (len != QUARN_HID_GAME_CONTROLLER_REPORT_SIZE) {
        const std::uint8_t result = without_reading(report, len, [&] {
            return parse_hid_game_controller_device(&guarded->value, report, len);
        });
        require(result == 0, "game controller: wrong length accepted");
        require(guarded->untouched(), "game controller: refusal wrote");
        return;
    }
    require(parse_hid_game_controller_device(&guarded->value, report, len) == 1,
            "game controller: 19 bytes refused");
    require(guarded->guards_intact(), "game controller: write beyond 11 values");
    const std::uint16_t *v = guarded->value.values;
    for (std::size_t k = kFirst12BitValue; k <= kLast12BitValue; ++k) {
        require(v[k] <= kMax12Bit, "game controller: 12-bit value above 4095");
    }
    require(v[kNibbleValue] <= kMax4Bit, "game controller: value 8 above 15");

    report[kControllerUnreadByte] = static_cast<std::uint8_t>(~report[kControllerUnreadByte]);
    const auto exact = std::make_unique<controller_state>();
    require(parse_hid_game_controller_device(exact.get(), report, len) == 1,
            "game controller: accepted once, refused again");
    require(std::equal(v, v + QUARN_CONTROLLER_VALUE_COUNT, exact->values),
            "game controller: byte 18 changed the values");
}

void check_compatible(std::uint8_t *report, std::uint8_t len) {
    auto guarded = std::make_unique<Guarded<Channels>>();
    if (len != QUARN_HID_COMPATIBLE_REPORT_SIZE) {
        const std::uint8_t result = without_reading(report, len, [&] {
            return parse_hid_compatible_device(guarded->value.data(), report, len);
        });
        require(result == 0, "compatible: wrong length accepted");
        require(guarded->untouched(), "compatible: refusal wrote");
        return;
    }
    const std::uint8_t result = parse_hid_compatible_device(guarded->value.data(), report, len);
    if (report[0] != QUARN_FRAME_HEAD) {
        require(result == 0, "compatible: report without 0xFA accepted");
        require(guarded->untouched(), "compatible: refusal wrote");
        return;
    }
    require(result == 1, "compatible: good report refused");
    require(guarded->guards_intact(), "compatible: write beyond 12 channels");

    for (std::size_t i : kCompatibleUnreadBytes) {
        report[i] = static_cast<std::uint8_t>(~report[i]);
    }
    std::vector<std::uint16_t> exact(QUARN_CHANNEL_COUNT);
    require(parse_hid_compatible_device(exact.data(), report, len) == 1,
            "compatible: accepted once, refused again");
    require(std::equal(exact.begin(), exact.end(), guarded->value.begin()),
            "compatible: an unread byte changed the values");
}

void check_null_pointers(const std::uint8_t *report, std::uint8_t len) {
    auto state = std::make_unique<Guarded<controller_state>>();
    auto channels = std::make_unique<Guarded<Channels>>();
    require(parse_hid_game_controller_device(nullptr, report, len) == 0,
            "game controller: null state accepted");
    require(parse_hid_game_controller_device(&state->value, nullptr, len) == 0,
            "game controller: null report accepted");
    require(parse_hid_compatible_device(nullptr, report, len) == 0,
            "compatible: null channels accepted");
    require(parse_hid_compatible_device(channels->value.data(), nullptr, len) == 0,
            "compatible: null report accepted");
    require(state->untouched() && channels->untouched(), "null pointer call wrote");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > UINT8_MAX) {
        return 0;
    }
    const auto len = static_cast<std::uint8_t>(size);
    // A block of exactly the report's size: a read past it is caught. The
    // checks flip unread bytes, so each starts from a fresh copy.
    const std::unique_ptr<std::uint8_t[]> report(new std::uint8_t[size]);
    std::copy(data, data + size, report.get());
    check_game_controller(report.get(), len);
    std::copy(data, data + size, report.get());
    check_compatible(report.get(), len);
    std::copy(data, data + size, report.get());
    check_null_pointers(report.get(), len);
    return 0;
}
