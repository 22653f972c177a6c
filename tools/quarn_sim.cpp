// quarn-sim: a simulated Quarn device on a pseudo-terminal, or a recorded
// stream written to a file, for developing and testing host software.
#include "sim_device.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitOpen = 2;
constexpr int kExitFailure = 1;
constexpr uint64_t kDefaultFrames = 1000;

std::atomic<bool> g_quit{false};

extern "C" void on_quit_signal(int /*signal*/) {
    g_quit.store(true);
}

void install_signal_handlers() {
    struct sigaction sa = {};
    sa.sa_handler = on_quit_signal;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);
}

int fail(int code, const std::string &message) {
    (void)std::fprintf(stderr, "quarn-sim: %s\n", message.c_str());
    return code;
}

std::FILE *open_output(const std::string &path, const char *what, std::string &error) {
    if (path == "-") {
        return stdout;
    }
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = std::string("cannot open ") + what + " " + path + ": " + std::strerror(errno);
    }
    return file;
}

int write_stream(std::FILE *out, uint64_t frames, const quarn::sim::Options &options,
                 quarn::sim::EventLog &log) {
    quarn::sim::FrameSource source(options);
    for (uint64_t i = 0; i < frames && !g_quit.load(); ++i) {
        const auto e = source.next();
        if (std::fwrite(e.bytes.data(), 1, e.bytes.size(), out) != e.bytes.size()) {
            return fail(kExitFailure, std::string("writing the stream: ") + std::strerror(errno));
        }
        log.sent(e, options.type);
    }
    if (std::fflush(out) != 0) {
        return fail(kExitFailure, std::string("writing the stream: ") + std::strerror(errno));
    }
    return 0;
}

} // namespace

int sim_main(int argc, char **argv) {
    CLI::App app{"quarn-sim: a simulated Quarn device.\n"
                 "With --pty it creates a pseudo-terminal, prints its path, waits for the upload\n"
                 "request and streams data frames until the stop command. With --out it writes a\n"
                 "stream of data frames to a file instead.",
                 "quarn-sim"};
    quarn::sim::Options options;
    bool use_pty = false;
    std::string out_path;
    std::string log_path;
    uint64_t frames = kDefaultFrames;

    auto *mode = app.add_option_group("mode", "where the device sends its frames");
    mode->add_flag("--pty", use_pty, "run as a device on a new pseudo-terminal");
    mode->add_option("--out", out_path, "write a stream to FILE ('-' for standard output)")
        ->type_name("FILE");
    mode->require_option(1);
    app.add_option("--type", options.type, "payload type: 0 channels, 1 ports, 2 both")
        ->check(CLI::Range(QUARN_PAYLOAD_TYPE_CHANNELS, QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS))
        ->capture_default_str();
    app.add_option("--rate", options.rate_hz, "frames per second")
        ->check(CLI::Range(1.0, 2000.0))
        ->capture_default_str();
    app.add_option("--noise", options.noise,
                   "probability per frame of a noise burst, a stray start byte or a corrupted "
                   "trailer")
        ->check(CLI::Range(0.0, 1.0))
        ->capture_default_str();
    app.add_option("--seed", options.seed, "seed of the noise")->capture_default_str();
    app.add_option("--frames", frames, "number of frames for --out")->capture_default_str();
    app.add_option("--log", log_path,
                   "write JSON Lines of every command received and frame sent to FILE")
        ->type_name("FILE");
    app.add_flag("--once", options.once, "exit after the first stop command (--pty)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        (void)std::fprintf(stderr, "quarn-sim: %s\n\n%s", e.what(), app.help().c_str());
        return kExitUsage;
    }

    std::string error;
    std::FILE *log_file = nullptr;
    if (!log_path.empty() && (log_file = open_output(log_path, "log file", error)) == nullptr) {
        return fail(kExitOpen, error);
    }
    quarn::sim::EventLog log(log_file);
    install_signal_handlers();

    if (!use_pty) {
        std::FILE *out = open_output(out_path, "output file", error);
        if (out == nullptr) {
            return fail(kExitOpen, error);
        }
        return write_stream(out, frames, options, log);
    }

    quarn::sim::Pty pty;
    if (!quarn::sim::open_pty(pty, error)) {
        return fail(kExitOpen, error);
    }
    if (std::printf("%s\n", pty.path.c_str()) < 0 || std::fflush(stdout) != 0) {
        return fail(kExitFailure, "cannot print the pseudo-terminal's path");
    }
    (void)std::fprintf(stderr, "quarn-sim: simulated device on %s; try: quarn-monitor --port %s\n",
                       pty.path.c_str(), pty.path.c_str());
    const int rc = quarn::sim::run_device(pty.master, options, log, g_quit, error);
    quarn::sim::close_pty(pty);
    return rc == 0 ? 0 : fail(kExitFailure, error);
}

int main(int argc, char **argv) {
    try {
        return sim_main(argc, argv);
    } catch (const std::exception &e) {
        return fail(kExitFailure, e.what());
    }
}
