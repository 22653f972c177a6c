// SBUS conversion and both frame encoders, against hand-packed frames and
// the bit-by-bit reference packer.
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <map>
#include <random>
#include <thread>

using namespace quarn_test;

namespace {

constexpr std::size_t kEndByte = QUARN_SBUS_END_BYTE;
constexpr std::uint8_t kEndBytes[] = {0x04, 0x14, 0x24, 0x34};
// Fixed, so that a set that fails fails again on the next run.
constexpr std::mt19937::result_type kRandomSetsSeed = 42;

SbusFrame sentinel_frame() {
    SbusFrame f;
    f.fill(kSentinel);
    return f;
}

SbusSet all(std::uint16_t v) {
    SbusSet s;
    s.fill(v);
    return s;
}

SbusSet only(std::size_t k, std::uint16_t v) {
    SbusSet s{};
    s[k] = v;
    return s;
}

std::uint8_t next_end_byte(std::uint8_t e) {
    return e == 0x34 ? 0x04 : static_cast<std::uint8_t>(e + 0x10);
}

struct PackCase {
    const char *name;
    SbusSet set;
    std::map<std::size_t, std::uint8_t> nonzero; // frame bytes 1 to 22 not 0
};

} // namespace

TEST(Sbus, PacksHandWorkedFrames) {
    SbusSet alternating;
    for (std::size_t k = 0; k < alternating.size(); ++k) {
        alternating[k] = k % 2 == 1 ? 0x2AA : 0x555;
    }
    std::map<std::size_t, std::uint8_t> all_ff;
    std::map<std::size_t, std::uint8_t> all_55;
    std::map<std::size_t, std::uint8_t> all_400;
    // Eight channels of 0x400 fill 11 bytes; the pattern repeats for the next eight.
    const std::uint8_t half_400[] = {0x00, 0x04, 0x20, 0x00, 0x01, 0x08,
                                     0x40, 0x00, 0x02, 0x10, 0x80};
    for (std::size_t at = 0; at < QUARN_SBUS_CHANNELS_SIZE; ++at) {
        const std::size_t b = QUARN_SBUS_CHANNELS_OFFSET + at;
        all_ff[b] = 0xFF;
        all_55[b] = 0x55;
        all_400[b] = half_400[at % std::size(half_400)];
    }
    const PackCase cases[] = {
        {"all 0", all(0), {}},
        {"all 2047", all(QUARN_SBUS_CHANNEL_MAX), all_ff},
        {"all 0xFFFF clamps", all(0xFFFF), all_ff},
        {"all 0x400", all(0x400), all_400},
        {"alternating 0x555 0x2AA", alternating, all_55},
        {"channel 0 = 0x7FF", only(0, 0x7FF), {{1, 0xFF}, {2, 0x07}}},
        {"channel 1 = 1", only(1, 1), {{2, 0x08}}},
        {"channel 15 = 0x400", only(15, 0x400), {{22, 0x80}}},
        {"channel 0 = 0xFFFF clamps", only(0, 0xFFFF), {{1, 0xFF}, {2, 0x07}}},
        {"channel 1 = 0xFFFF clamps", only(1, 0xFFFF), {{2, 0xF8}, {3, 0x3F}}},
        {"channel 15 = 0xFFFF clamps", only(15, 0xFFFF), {{21, 0xE0}, {22, 0xFF}}},
    };
    for (const PackCase &c : cases) {
        SCOPED_TRACE(c.name);
        SbusFrame expected{};
        expected[0] = kSentinel;
        for (const auto &[at, value] : c.nonzero) {
            expected[at] = value;
        }
        SbusFrame reference = sbus_reference(c.set);
        reference[0] = kSentinel;
        EXPECT_EQ(reference, expected); // the reference packer agrees with the hand
        SbusFrame v1 = sentinel_frame();
        SbusFrame v2 = sentinel_frame();
        encode_sbus_data_v1(v1.data(), c.set.data());
        EXPECT_EQ(v1, expected);
        encode_sbus_data_v2(v2.data(), c.set.data());
        expected[kEndByte] = v2[kEndByte];
        EXPECT_EQ(v2, expected);
    }
}

TEST(Sbus, MatchesBitByBitPackingOfRandomSets) {
    std::mt19937 rng(kRandomSetsSeed);
    for (int trial = 0; trial < 2000; ++trial) {
        // Half the sets in range, half with any 16-bit value.
        std::uniform_int_distribution<unsigned> value(0, trial % 2 == 1 ? UINT16_MAX
                                                                        : QUARN_SBUS_CHANNEL_MAX);
        SbusSet set;
        for (auto &v : set) {
            v = static_cast<std::uint16_t>(value(rng));
        }
        SbusFrame expected = sbus_reference(set);
        SbusFrame got = sentinel_frame();
        expected[0] = kSentinel;
        encode_sbus_data_v1(got.data(), set.data());
        ASSERT_EQ(got, expected) << "trial " << trial;
    }
}

TEST(Sbus, V2EndByteCyclesAndV1DoesNotAdvanceIt) {
    const SbusSet set = all(0);
    SbusFrame f = sentinel_frame();
    // The counter is process-wide: follow the cycle from wherever it stands.
    encode_sbus_data_v2(f.data(), set.data());
    std::uint8_t expected = f[kEndByte];
    ASSERT_TRUE(std::find(std::begin(kEndBytes), std::end(kEndBytes), expected) !=
                std::end(kEndBytes));
    for (int call = 0; call < 300; ++call) { // passes the 8-bit wrap
        encode_sbus_data_v1(f.data(), set.data());
        EXPECT_EQ(f[kEndByte], 0);
        encode_sbus_data_v2(nullptr, set.data());
        encode_sbus_data_v2(f.data(), nullptr);
        expected = next_end_byte(expected);
        encode_sbus_data_v2(f.data(), set.data());
        ASSERT_EQ(f[kEndByte], expected) << "call " << call;
    }
}

// Concurrent callers share the counter: over a multiple of 4 calls every end
// byte occurs equally often, and no frame is disturbed.
TEST(Sbus, V2CounterIsExactUnderConcurrency) {
    constexpr int kThreads = 4;
    constexpr int kCalls = 50000;
    std::array<std::map<std::uint8_t, int>, kThreads> counts;
    std::atomic<int> ready{0};
    std::atomic<int> disturbed{0};
    std::vector<std::thread> threads;
    threads.reserve(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &counts, &ready, &disturbed] {
            const SbusSet set = all(static_cast<std::uint16_t>(0x155 * (t + 1)));
            const SbusFrame reference = sbus_reference(set);
            // Start together so that the calls really overlap.
            ++ready;
            while (ready < kThreads) {
            }
            for (int call = 0; call < kCalls; ++call) {
                SbusFrame f{};
                encode_sbus_data_v2(f.data(), set.data());
                ++counts[t][f[kEndByte]];
                f[kEndByte] = 0;
                if (f != reference) {
                    ++disturbed;
                }
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    std::map<std::uint8_t, int> total;
    for (const auto &c : counts) {
        for (const auto &[end, n] : c) {
            total[end] += n;
        }
    }
    constexpr int kEach = kThreads * kCalls / 4;
    const std::map<std::uint8_t, int> expected{
        {0x04, kEach}, {0x14, kEach}, {0x24, kEach}, {0x34, kEach}};
    EXPECT_EQ(total, expected);
    EXPECT_EQ(disturbed, 0);
}

TEST(Sbus, NullPointersWriteNothing) {
    SbusFrame f = sentinel_frame();
    const SbusSet set = all(2047);
    encode_sbus_data_v1(f.data(), nullptr);
    encode_sbus_data_v1(nullptr, set.data());
    EXPECT_EQ(f, sentinel_frame());
    SbusSet dst = all(kSentinel16);
    convert_std_sbus_data(dst.data(), nullptr);
    convert_std_sbus_data(nullptr, set.data());
    EXPECT_EQ(dst, all(kSentinel16));
}

TEST(SbusConversion, ScalesStandardRangeAndSaturates) {
    const std::pair<std::uint16_t, std::uint16_t> table[] = {
        {0, 0},       {1, 1},       {600, 1023},   {1199, 2045},
        {1200, 2047}, {1201, 2047}, {38416, 2047}, {65535, 2047}};
    SbusSet src{};
    SbusSet expected{};
    for (std::size_t k = 0; k < std::size(table); ++k) {
        src[k] = table[k].first;
        expected[k] = table[k].second;
        src[k + 8] = table[k].first; // both halves of the set
        expected[k + 8] = table[k].second;
    }
    SbusSet dst = all(kSentinel16);
    convert_std_sbus_data(dst.data(), src.data());
    EXPECT_EQ(dst, expected);
    convert_std_sbus_data(src.data(), src.data());
    EXPECT_EQ(src, expected);
}

TEST(SbusConversion, EveryInputMatchesIntegerAndDoubleFormulas) {
    for (std::uint32_t base = 0; base <= 0xFFFF; base += QUARN_SBUS_CHANNEL_COUNT) {
        SbusSet src;
        SbusSet dst;
        for (std::size_t k = 0; k < src.size(); ++k) {
            src[k] = static_cast<std::uint16_t>(base + k);
        }
        convert_std_sbus_data(dst.data(), src.data());
        for (std::size_t k = 0; k < src.size(); ++k) {
            const std::uint32_t x = src[k];
            const auto by_int = static_cast<std::uint16_t>(
                std::min<std::uint32_t>(x * 1706 / 1000, QUARN_SBUS_CHANNEL_MAX));
            const auto by_double = static_cast<std::uint16_t>(
                std::min(std::trunc(x * 1.706), double{QUARN_SBUS_CHANNEL_MAX}));
            ASSERT_EQ(dst[k], by_int) << x;
            ASSERT_EQ(dst[k], by_double) << x;
        }
    }
}
