// Fixed work for the instruction budget: each region parses a fixed stream or
// makes a fixed number of calls, between a reset and a dump of callgrind's
// counters named after the region. check_budget.py runs this under callgrind
// and compares the counts with instruction-budget.txt. Run natively, the
// client requests are no-ops and the program just does the work.

#include "QuarnInterface.h"
#include "streams.h"

// Shipped with valgrind; without it the requests are empty and the budget
// check, which needs valgrind anyway, is skipped.
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_ZERO_STATS
#define CALLGRIND_DUMP_STATS_AT(name) (void)(name)
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace {

using quarn_bench::Bytes;

constexpr int kCalls = 1000;

std::uint16_t g_channels[QUARN_CHANNEL_COUNT];
std::uint16_t g_ports[QUARN_PORT_COUNT];
unsigned g_decoded;

void parse(const Bytes &stream, std::size_t chunk) {
    for (std::size_t off = 0; off < stream.size(); off += chunk) {
        const std::size_t n = std::min(chunk, stream.size() - off);
        g_decoded +=
            parse_port_data(stream.data() + off, static_cast<std::uint8_t>(n), g_channels, g_ports);
    }
}

// Runs one region twice: first untracked, so that the lazy binding of the
// library's functions and cold caches stay out of the count, then counted.
template <typename Work> void region(const char *name, Work work) {
    work();
    CALLGRIND_ZERO_STATS;
    work();
    CALLGRIND_DUMP_STATS_AT(name);
}

} // namespace

int main() {
    const Bytes type2 = quarn_bench::type2_stream(quarn_bench::kType2Frames);
    const Bytes type0 = quarn_bench::type0_stream(quarn_bench::kType0Frames);
    const Bytes noise = quarn_bench::noise_stream(quarn_bench::kStreamBytes);
    const Bytes stray = quarn_bench::stray_starts_stream(quarn_bench::kStreamBytes);
    const Bytes start_bytes = quarn_bench::start_bytes_stream(quarn_bench::kStreamBytes);
    const Bytes type2_short = quarn_bench::type2_stream(quarn_bench::kType2Frames / 8);

    region("parse_type2_chunk255", [&] { parse(type2, 255); });
    region("parse_type2_chunk16", [&] { parse(type2, 16); });
    region("parse_type2_chunk1", [&] { parse(type2_short, 1); });
    region("parse_type0_chunk255", [&] { parse(type0, 255); });
    region("parse_noise_chunk255", [&] { parse(noise, 255); });
    region("parse_stray_starts_chunk255", [&] { parse(stray, 255); });
    region("parse_stray_starts_chunk1", [&] { parse(stray, 1); });
    region("parse_start_bytes_only_chunk255", [&] { parse(start_bytes, 255); });

    const auto set = quarn_bench::channel_set();
    const auto game = quarn_bench::game_report();
    const auto compatible = quarn_bench::compatible_report();
    std::uint8_t frame[QUARN_SBUS_FRAME_SIZE] = {QUARN_SBUS_START_BYTE};
    std::uint16_t sbus[QUARN_SBUS_CHANNEL_COUNT];
    controller_state state;
    unsigned accepted = 0;

    region("encode_sbus_data_v1_x1000", [&] {
        for (int k = 0; k < kCalls; ++k) {
            encode_sbus_data_v1(frame, set.data());
        }
    });
    region("encode_sbus_data_v2_x1000", [&] {
        for (int k = 0; k < kCalls; ++k) {
            encode_sbus_data_v2(frame, set.data());
        }
    });
    region("convert_std_sbus_data_x1000", [&] {
        for (int k = 0; k < kCalls; ++k) {
            convert_std_sbus_data(sbus, set.data());
        }
    });
    region("parse_hid_game_controller_x1000", [&] {
        for (int k = 0; k < kCalls; ++k) {
            accepted += parse_hid_game_controller_device(&state, game.data(),
                                                         QUARN_HID_GAME_CONTROLLER_REPORT_SIZE);
        }
    });
    region("parse_hid_compatible_x1000", [&] {
        for (int k = 0; k < kCalls; ++k) {
            accepted += parse_hid_compatible_device(g_channels, compatible.data(),
                                                    QUARN_HID_COMPATIBLE_REPORT_SIZE);
        }
    });

    // Printed so the work has a visible result and cannot be optimised away.
    std::printf("decoded %u frames, accepted %u reports, last end byte 0x%02X\n", g_decoded,
                accepted, frame[QUARN_SBUS_END_BYTE]);
    return 0;
}
