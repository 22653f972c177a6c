// Host commands and the two HID report decoders, checked against byte
// vectors worked out by hand from the layouts.
#include "support.h"

#include <gtest/gtest.h>

using namespace quarn_test;

namespace {

constexpr std::size_t kGuarded = 10;

Bytes sentinel_buffer() {
    return Bytes(kGuarded, kSentinel);
}

// A controller_state between two sentinel values: its 16-bit members leave
// no padding, so a write past either end of values[] lands on a guard.
struct GuardedState {
    std::uint16_t before = kSentinel16;
    controller_state state{};
    std::uint16_t after = kSentinel16;

    GuardedState() {
        std::fill(std::begin(state.values), std::end(state.values), kSentinel16);
    }
    bool guards_intact() const {
        return before == kSentinel16 && after == kSentinel16;
    }
};
static_assert(sizeof(GuardedState) == sizeof(controller_state) + 2 * sizeof(std::uint16_t),
              "the guards sit right beside the values");

} // namespace

TEST(Commands, UploadRequestCopiesRequestBytesUnescaped) {
    const std::pair<std::uint8_t, std::uint8_t> requests[] = {
        {0x00, 0x00}, {0x12, 0x34}, {0xFA, 0x5F}, {0x5F, 0xFA}, {0xFF, 0xFF}};
    for (const auto &[first, second] : requests) {
        Bytes out = sentinel_buffer();
        request_upload_port_data(out.data(), first, second);
        const Bytes expected{0xFA,   0xE5, 0x02,      0x00,      first,
                             second, 0x5F, kSentinel, kSentinel, kSentinel};
        EXPECT_EQ(out, expected) << int(first) << "," << int(second);
    }
}

TEST(Commands, StopIsAlwaysTheSameFiveBytes) {
    const Bytes expected{0xFA,      0xE4,      0x00,      0x00,      0x5F,
                         kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    for (int call = 0; call < 3; ++call) {
        Bytes out = sentinel_buffer();
        stop_upload_port_data(out.data());
        EXPECT_EQ(out, expected);
    }
}

TEST(Commands, NullBufferDoesNothing) {
    request_upload_port_data(nullptr, 1, 2);
    stop_upload_port_data(nullptr);
}

struct GameControllerCase {
    const char *name;
    Bytes report;
    std::array<std::uint16_t, QUARN_CONTROLLER_VALUE_COUNT> values;
};

TEST(HidGameController, DecodesNineteenByteReports) {
    const GameControllerCase cases[] = {
        {"distinct nibbles",
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x21, 0x43, 0x65, 0xAB, 0xCD, 0xEF, 0x12, 0x34, 0x78,
          0x56, 0xBC, 0x9A, 0x00},
         {0x0201, 0x0403, 0x0605, 0x321, 0x654, 0xDAB, 0xEFC, 0x412, 0x3, 0x5678, 0x9ABC}},
        {"byte 18 ignored",
         {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x21, 0x43, 0x65, 0xAB, 0xCD, 0xEF, 0x12, 0x34, 0x78,
          0x56, 0xBC, 0x9A, 0xFF},
         {0x0201, 0x0403, 0x0605, 0x321, 0x654, 0xDAB, 0xEFC, 0x412, 0x3, 0x5678, 0x9ABC}},
        {"12-bit fields all ones",
         {0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0},
         {0, 0, 0, 4095, 4095, 4095, 4095, 4095, 15, 0, 0}},
        {"16-bit fields all ones",
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0},
         {0xFFFF, 0xFFFF, 0xFFFF, 0, 0, 0, 0, 0, 0, 0xFFFF, 0xFFFF}},
    };
    for (const GameControllerCase &c : cases) {
        ASSERT_EQ(c.report.size(), std::size_t{QUARN_HID_GAME_CONTROLLER_REPORT_SIZE});
        GuardedState out;
        EXPECT_EQ(parse_hid_game_controller_device(&out.state, c.report.data(),
                                                   QUARN_HID_GAME_CONTROLLER_REPORT_SIZE),
                  1)
            << c.name;
        EXPECT_TRUE(std::equal(c.values.begin(), c.values.end(), out.state.values)) << c.name;
        EXPECT_TRUE(out.guards_intact()) << c.name;
    }
}

TEST(HidGameController, RefusesOtherLengthsAndNullPointers) {
    const Bytes report(32, 0x11);
    controller_state state;
    std::fill(std::begin(state.values), std::end(state.values), kSentinel16);
    const controller_state before = state;
    for (std::uint8_t len : {0, 1, 18, 20, 255}) {
        EXPECT_EQ(parse_hid_game_controller_device(&state, report.data(), len), 0) << int(len);
    }
    EXPECT_EQ(
        parse_hid_game_controller_device(&state, nullptr, QUARN_HID_GAME_CONTROLLER_REPORT_SIZE),
        0);
    EXPECT_EQ(parse_hid_game_controller_device(nullptr, report.data(),
                                               QUARN_HID_GAME_CONTROLLER_REPORT_SIZE),
              0);
    EXPECT_TRUE(std::equal(std::begin(state.values), std::end(state.values), before.values));
}

TEST(HidCompatible, DecodesTwelveValuesIgnoringHeaderAndLastByte) {
    Bytes report{0xFA, 0x99, 0x98, 0x97};
    Channels expected{};
    for (std::size_t k = 0; k < expected.size(); ++k) {
        const auto lo = static_cast<std::uint8_t>(0x34 + k);
        const auto hi = static_cast<std::uint8_t>(0x12 + k);
        report.push_back(lo);
        report.push_back(hi);
        expected[k] = static_cast<std::uint16_t>(hi << 8 | lo);
    }
    report.push_back(0x96);
    ASSERT_EQ(report.size(), std::size_t{QUARN_HID_COMPATIBLE_REPORT_SIZE});
    EXPECT_EQ(expected[0], 0x1234);

    std::array<std::uint16_t, QUARN_CHANNEL_COUNT + 2> out;
    out.fill(kSentinel16);
    EXPECT_EQ(parse_hid_compatible_device(out.data() + 1, report.data(),
                                          QUARN_HID_COMPATIBLE_REPORT_SIZE),
              1);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.begin() + 1));
    EXPECT_EQ(out.front(), kSentinel16);
    EXPECT_EQ(out.back(), kSentinel16);
}

TEST(HidCompatible, RefusesWrongStartLengthAndNullPointers) {
    Bytes good(30, 0x11);
    good[0] = 0xFA;
    Bytes wrong_start = good;
    wrong_start[0] = 0xFB;
    Channels out;
    out.fill(kSentinel16);
    const Channels before = out;
    EXPECT_EQ(parse_hid_compatible_device(out.data(), wrong_start.data(),
                                          QUARN_HID_COMPATIBLE_REPORT_SIZE),
              0);
    for (std::uint8_t len : {0, 28, 30}) {
        EXPECT_EQ(parse_hid_compatible_device(out.data(), good.data(), len), 0) << int(len);
    }
    EXPECT_EQ(parse_hid_compatible_device(out.data(), nullptr, QUARN_HID_COMPATIBLE_REPORT_SIZE),
              0);
    EXPECT_EQ(parse_hid_compatible_device(nullptr, good.data(), QUARN_HID_COMPATIBLE_REPORT_SIZE),
              0);
    EXPECT_EQ(out, before);

#if !defined(_WIN32)
    // With a wrong length not even the first byte is read.
    GuardedPageEnd guard;
    ASSERT_TRUE(guard.ok());
    EXPECT_EQ(parse_hid_compatible_device(out.data(), guard.place({}), 28), 0);
#endif
}
