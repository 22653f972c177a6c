// Throughput of the stream parser beside memcpy of the same bytes in the same
// chunks, and the cost per call of the decoders and encoders. After the usual
// table a summary gives each figure against its target.

#include "QuarnInterface.h"
#include "streams.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

extern "C" void quarn_bench_empty_call(void *out, const void *in);

namespace {

using quarn_bench::Bytes;

// Every buffer the parser cases touch sits at a fixed alignment: stack and
// heap addresses change from run to run, and with them split cache lines and
// false store-to-load dependencies, which moved memcpy's figure by a factor
// of up to three between otherwise equal runs.
constexpr std::size_t kCacheLine = 64;
constexpr std::size_t kPage = 4096;
constexpr std::size_t kStreamSlot = (quarn_bench::kStreamBytes + kPage - 1) / kPage * kPage;
constexpr std::size_t kStreamCount = 5;

alignas(kPage) std::uint8_t g_stream_arena[kStreamCount * kStreamSlot];
alignas(kCacheLine) std::uint8_t g_copy_buffer[QUARN_MAX_FRAME_SIZE];
alignas(kCacheLine) std::uint16_t g_channels[QUARN_CHANNEL_COUNT];
alignas(kCacheLine) std::uint16_t g_ports[QUARN_PORT_COUNT];

struct Stream {
    const char *name;
    const std::uint8_t *data;
    std::size_t size;
};

const std::vector<Stream> &streams() {
    static const std::vector<Stream> all = [] {
        const std::pair<const char *, Bytes> made[kStreamCount] = {
            {"type2", quarn_bench::type2_stream(quarn_bench::kType2Frames)},
            {"type0", quarn_bench::type0_stream(quarn_bench::kType0Frames)},
            {"noise", quarn_bench::noise_stream(quarn_bench::kStreamBytes)},
            {"stray_starts", quarn_bench::stray_starts_stream(quarn_bench::kStreamBytes)},
            {"start_bytes_only", quarn_bench::start_bytes_stream(quarn_bench::kStreamBytes)},
        };
        std::vector<Stream> placed;
        for (std::size_t k = 0; k < kStreamCount; ++k) {
            std::uint8_t *slot = g_stream_arena + k * kStreamSlot;
            std::memcpy(slot, made[k].second.data(), made[k].second.size());
            placed.push_back({made[k].first, slot, made[k].second.size()});
        }
        return placed;
    }();
    return all;
}

void parse_stream(benchmark::State &state, const Stream &stream, std::size_t chunk) {
    unsigned decoded = 0;
    for (auto _ : state) {
        for (std::size_t off = 0; off < stream.size; off += chunk) {
            const std::size_t n = std::min(chunk, stream.size - off);
            decoded += parse_port_data(stream.data + off, static_cast<std::uint8_t>(n), g_channels,
                                       g_ports);
        }
        benchmark::DoNotOptimize(decoded);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size));
}

// The physical reference: the same bytes in the same chunks copied into a
// buffer the size of the parser's, which is the least a parser that keeps
// unfinished frames must do with them.
void memcpy_stream(benchmark::State &state, const Stream &stream, std::size_t chunk) {
    for (auto _ : state) {
        for (std::size_t off = 0; off < stream.size; off += chunk) {
            const std::size_t n = std::min(chunk, stream.size - off);
            std::memcpy(g_copy_buffer, stream.data + off, n);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size));
}

void encode_v1(benchmark::State &state) {
    const auto set = quarn_bench::channel_set();
    std::uint8_t frame[QUARN_SBUS_FRAME_SIZE] = {QUARN_SBUS_START_BYTE};
    for (auto _ : state) {
        encode_sbus_data_v1(frame, set.data());
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(frame);
}

void encode_v2(benchmark::State &state) {
    const auto set = quarn_bench::channel_set();
    std::uint8_t frame[QUARN_SBUS_FRAME_SIZE] = {QUARN_SBUS_START_BYTE};
    for (auto _ : state) {
        encode_sbus_data_v2(frame, set.data());
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(frame);
}

void convert(benchmark::State &state) {
    const auto src = quarn_bench::channel_set();
    std::uint16_t dst[QUARN_SBUS_CHANNEL_COUNT];
    for (auto _ : state) {
        convert_std_sbus_data(dst, src.data());
        benchmark::ClobberMemory();
    }
    benchmark::DoNotOptimize(dst);
}

void hid_game_controller(benchmark::State &state) {
    const auto report = quarn_bench::game_report();
    controller_state out;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parse_hid_game_controller_device(
            &out, report.data(), QUARN_HID_GAME_CONTROLLER_REPORT_SIZE));
        benchmark::ClobberMemory();
    }
}

void hid_compatible(benchmark::State &state) {
    const auto report = quarn_bench::compatible_report();
    std::uint16_t channels[QUARN_CHANNEL_COUNT];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            parse_hid_compatible_device(channels, report.data(), QUARN_HID_COMPATIBLE_REPORT_SIZE));
        benchmark::ClobberMemory();
    }
}

// The floor of every per-call figure: calling a function that does nothing
// through the same kind of shared-library binding.
void empty_call(benchmark::State &state) {
    const auto set = quarn_bench::channel_set();
    std::uint8_t frame[QUARN_SBUS_FRAME_SIZE];
    for (auto _ : state) {
        quarn_bench_empty_call(frame, set.data());
        benchmark::ClobberMemory();
    }
}

// ---------------------------------------------------------------------------
// Targets, checked in the summary
// ---------------------------------------------------------------------------

constexpr std::size_t kFullChunk = 255;
constexpr double kType2MinRatio = 0.50; // of memcpy's throughput, 255-byte chunks
constexpr double kNoiseMinRatio = 0.75;
constexpr double kWorstMaxCost = 10.0; // times the cost per byte of type 2 frames
// Per-call targets count what the function itself costs: the call into a
// shared library alone takes longer than these on common hardware, so they
// apply net of the measured empty-call floor.
constexpr double kEncodeMaxNetNs = 3.0;
constexpr double kHidMaxNetNs = 2.0;
constexpr const char *kCallFloor = "empty_call_into_shared_library";

std::string parse_name(const char *stream, std::size_t chunk) {
    return std::string("parse/") + stream + "/chunk:" + std::to_string(chunk);
}
std::string memcpy_name(const char *stream, std::size_t chunk) {
    return std::string("memcpy/") + stream + "/chunk:" + std::to_string(chunk);
}

// Collects each case's CPU time (the median when repeated) while the console
// reporter prints as usual, then prints the ratios and the targets. CPU time,
// like the bytes/s column, leaves out time the process spent preempted on a
// busy machine.
class SummaryReporter : public benchmark::ConsoleReporter {
  public:
    explicit SummaryReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const std::string name = run.run_name.function_name;
            if (median || (run.run_type == Run::RT_Iteration && medians_.count(name) == 0)) {
                seconds_[name] = run.GetAdjustedCPUTime() * time_unit_seconds(run.time_unit);
                if (median) {
                    medians_[name] = true;
                }
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nSummary: CPU time, the median when --benchmark_repetitions is given\n");
        std::printf("%-32s %12s %12s %8s %10s  %s\n", "parser case", "MB/s", "memcpy MB/s", "ratio",
                    "target", "");
        for (const auto &s : streams()) {
            for (std::size_t chunk : kChunks) {
                print_parse_row(s, chunk);
            }
        }
        std::printf("\n%-32s %12s %12s %8s %10s\n", "worst cases vs type 2 frames", "ns/byte",
                    "type2 ns/B", "cost", "target");
        for (const char *worst : {"stray_starts", "start_bytes_only"}) {
            for (std::size_t chunk : kChunks) {
                print_worst_row(worst, chunk);
            }
        }
        std::printf("\n%-32s %12s %12s %10s\n", "per call", "ns", "ns - floor",
                    "target (net of the floor)");
        print_call_row(kCallFloor, 0);
        print_call_row("encode_sbus_data_v1", kEncodeMaxNetNs);
        print_call_row("encode_sbus_data_v2", kEncodeMaxNetNs);
        print_call_row("convert_std_sbus_data", kEncodeMaxNetNs);
        print_call_row("parse_hid_game_controller_device", kHidMaxNetNs);
        print_call_row("parse_hid_compatible_device", kHidMaxNetNs);
    }

    static constexpr std::size_t kChunks[] = {255, 64, 16, 1};

  private:
    static double time_unit_seconds(benchmark::TimeUnit unit) {
        switch (unit) {
        case benchmark::kNanosecond:
            return 1e-9;
        case benchmark::kMicrosecond:
            return 1e-6;
        case benchmark::kMillisecond:
            return 1e-3;
        default:
            return 1.0;
        }
    }

    double seconds(const std::string &name) const {
        const auto it = seconds_.find(name);
        return it == seconds_.end() ? 0.0 : it->second;
    }

    double cost_per_byte(const char *stream, std::size_t chunk) const {
        for (const auto &s : streams()) {
            if (std::strcmp(s.name, stream) == 0) {
                return seconds(parse_name(stream, chunk)) / static_cast<double>(s.size);
            }
        }
        return 0.0;
    }

    static std::string verdict(bool met, double target, const char *relation) {
        char text[48];
        (void)std::snprintf(text, sizeof text, "%s%.2f  %s", relation, target,
                            met ? "met" : "MISSED");
        return text;
    }

    // Cost per byte of an adversarial stream over that of type 2 frames.
    void print_worst_row(const char *stream, std::size_t chunk) const {
        const double worst = cost_per_byte(stream, chunk);
        const double frames = cost_per_byte("type2", chunk);
        if (worst <= 0 || frames <= 0) {
            return;
        }
        const double cost = worst / frames;
        const std::string target =
            chunk == kFullChunk ? verdict(cost <= kWorstMaxCost, kWorstMaxCost, "<=") : "";
        std::printf("%-32s %12.3f %12.3f %8.2f %s\n", parse_name(stream, chunk).c_str(),
                    worst * 1e9, frames * 1e9, cost, target.c_str());
    }

    void print_parse_row(const Stream &s, std::size_t chunk) const {
        const double parse = seconds(parse_name(s.name, chunk));
        const double copy = seconds(memcpy_name(s.name, chunk));
        if (parse <= 0 || copy <= 0) {
            return;
        }
        const double bytes = static_cast<double>(s.size);
        const double ratio = copy / parse;
        std::string target;
        if (chunk == kFullChunk && std::strcmp(s.name, "type2") == 0) {
            target = verdict(ratio >= kType2MinRatio, kType2MinRatio, ">=");
        } else if (chunk == kFullChunk && std::strcmp(s.name, "noise") == 0) {
            target = verdict(ratio >= kNoiseMinRatio, kNoiseMinRatio, ">=");
        }
        std::printf("%-32s %12.0f %12.0f %8.3f %s\n", parse_name(s.name, chunk).c_str(),
                    bytes / parse / 1e6, bytes / copy / 1e6, ratio, target.c_str());
    }

    // The target applies to the figure net of the empty call: what the
    // function itself costs. Without the floor (filtered out) there is no
    // verdict.
    void print_call_row(const char *name, double max_net_ns) const {
        const double ns = seconds(name) * 1e9;
        if (ns <= 0) {
            return;
        }
        const double floor = seconds(kCallFloor) * 1e9;
        char net[16] = "-";
        std::string target = max_net_ns > 0 ? "(needs the floor)" : "(floor)";
        if (floor > 0 && max_net_ns > 0) {
            (void)std::snprintf(net, sizeof net, "%.2f", ns - floor);
            target = verdict(ns - floor <= max_net_ns, max_net_ns, "<=");
        }
        std::printf("%-32s %12.2f %12s %s\n", name, ns, net, target.c_str());
    }

    std::map<std::string, double> seconds_;
    std::map<std::string, bool> medians_;
};

void register_all() {
    for (const auto &s : streams()) {
        for (std::size_t chunk : SummaryReporter::kChunks) {
            benchmark::RegisterBenchmark(parse_name(s.name, chunk).c_str(), parse_stream, s, chunk)
                ->Unit(benchmark::kMicrosecond);
            benchmark::RegisterBenchmark(memcpy_name(s.name, chunk).c_str(), memcpy_stream, s,
                                         chunk)
                ->Unit(benchmark::kMicrosecond);
        }
    }
    const std::pair<const char *, void (*)(benchmark::State &)> calls[] = {
        {kCallFloor, empty_call},
        {"encode_sbus_data_v1", encode_v1},
        {"encode_sbus_data_v2", encode_v2},
        {"convert_std_sbus_data", convert},
        {"parse_hid_game_controller_device", hid_game_controller},
        {"parse_hid_compatible_device", hid_compatible},
    };
    for (const auto &[name, function] : calls) {
        benchmark::RegisterBenchmark(name, function);
    }
}

// Colour as Google Benchmark's own reporter chooses it, which a reporter
// given to RunSpecifiedBenchmarks does not get by itself: --benchmark_color
// (true/false, yes/no, 1/0; auto by default) wins, otherwise colour only on a
// terminal and without NO_COLOR, so a log or a pipe holds plain text.
benchmark::ConsoleReporter::OutputOptions output_options(int argc, char **argv) {
    const std::string flag = "--benchmark_color=";
    std::string color = "auto";
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg.compare(0, flag.size(), flag) == 0) {
            color = arg.substr(flag.size());
        }
    }
    bool use_color = false;
    if (color == "true" || color == "yes" || color == "1") {
        use_color = true;
    } else if (color == "auto") {
        const char *term = std::getenv("TERM");
        use_color = isatty(STDOUT_FILENO) != 0 && std::getenv("NO_COLOR") == nullptr &&
                    term != nullptr && std::strcmp(term, "dumb") != 0;
    }
    return use_color ? benchmark::ConsoleReporter::OO_ColorTabular
                     : benchmark::ConsoleReporter::OO_Tabular;
}

} // namespace

int main(int argc, char **argv) {
    // Each case first runs untimed for a moment: the first case of a run
    // otherwise measured up to half as fast, before the core had settled. A
    // warm-up time given on the command line comes later and wins.
    static char warm_up[] = "--benchmark_min_warmup_time=0.05";
    std::vector<char *> args(argv, argv + argc);
    args.insert(args.begin() + 1, warm_up);
    int count = static_cast<int>(args.size());

    register_all();
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
        return 1;
    }
    SummaryReporter reporter(output_options(argc, argv));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
