// quarn-sim: a simulated Quarn device on a pseudo-terminal, or a recorded
// stream written to a file, for developing and testing host software.
#include "cli.h"
#include "error.h"
#include "serial.h"
#include "sim_device.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using quarn::tools::errno_text;
using quarn::tools::Error;
namespace cli = quarn::tools::cli;

constexpr const char *kProgram = "quarn-sim";
constexpr uint64_t kDefaultFrames = 1000;
constexpr double kMinRate = 1.0;
constexpr double kMaxRate = 2000.0;
constexpr uint64_t kSecondsPerDay = 86400;
// More frames than a day at the highest rate is a mistake, not a test.
constexpr auto kMaxFrames = static_cast<uint64_t>(kMaxRate) * kSecondsPerDay;
constexpr mode_t kFileMode = 0644;

std::atomic<bool> g_quit{false};

extern "C" void on_quit_signal(int /*signal*/) {
    g_quit.store(true);
}

// A reader that goes away (`quarn-sim --out - | head -c 10`) is a normal
// end: the write then fails with EPIPE instead of killing the program.
void install_signal_handlers() {
    struct sigaction sa = {};
    sa.sa_handler = on_quit_signal;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);
    (void)signal(SIGPIPE, SIG_IGN);
}

struct FileCloser {
    void operator()(std::FILE *file) const {
        if (file != stdout) {
            (void)std::fclose(file);
        }
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_output(const std::string &path, const char *what) {
    if (path == "-") {
        return File(stdout);
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        throw Error(quarn::tools::kExitOpen,
                    std::string("cannot open ") + what + " " + path + ": " + errno_text(errno));
    }
    return file;
}

bool is_regular_file(const std::string &path) {
    struct stat st = {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The stream's file: a new one, or an existing one replaced only with
// --overwrite. A FIFO or a device that exists is written to as it is.
File open_stream(const std::string &path, bool overwrite) {
    if (path == "-") {
        return File(stdout);
    }
    const std::string what = "cannot open output file " + path + ": ";
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    int fd = open(path.c_str(), flags, kFileMode);
    if (fd < 0 && errno == EEXIST && !is_regular_file(path)) {
        fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    }
    if (fd < 0) {
        std::string message = what + errno_text(errno);
        if (errno == EEXIST) {
            message += " (give --overwrite to replace it, or choose a new name)";
        }
        throw Error(quarn::tools::kExitOpen, message);
    }
    File file(fdopen(fd, "wb"));
    if (!file) {
        const int error = errno;
        (void)close(fd);
        throw Error(quarn::tools::kExitOpen, what + errno_text(error));
    }
    return file;
}

// Writes the stream; returns false when its reader went away.
bool write_stream(std::FILE *out, const std::string &name, uint64_t frames,
                  const quarn::sim::Options &options, quarn::sim::EventLog &log) {
    auto failed = [&name]() {
        if (errno == EPIPE) {
            return false;
        }
        throw Error(quarn::tools::kExitFailure, "writing " + name + ": " + errno_text(errno));
    };
    quarn::sim::FrameSource source(options);
    for (uint64_t i = 0; i < frames && !g_quit.load(); ++i) {
        const auto e = source.next();
        if (std::fwrite(e.bytes.data(), 1, e.bytes.size(), out) != e.bytes.size()) {
            return failed();
        }
        log.sent(e, options.type);
    }
    return std::fflush(out) == 0 || failed();
}

struct Settings {
    quarn::sim::Options device;
    bool use_pty = false;
    std::string out_path;
    bool overwrite = false;
    std::string log_path;
    uint64_t frames = kDefaultFrames;
};

void add_options(CLI::App &app, Settings &s) {
    auto *mode = app.add_option_group("mode", "where the device sends its frames (exactly one)");
    mode->add_flag("--pty", s.use_pty, "run as a device on a new pseudo-terminal");
    mode->add_option("--out", s.out_path, "write a stream to FILE ('-' for standard output)")
        ->type_name("FILE");
    app.add_option("--type", s.device.type, "payload type: 0 channels, 1 ports, 2 both")
        ->type_name("0|1|2")
        ->transform(cli::whole_number(QUARN_PAYLOAD_TYPE_CHANNELS,
                                      QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS, "a payload type"))
        ->capture_default_str();
    app.add_option("--rate", s.device.rate_hz, "frames per second, 1 to 2000")
        ->type_name("HZ")
        ->check(cli::decimal_number(kMinRate, kMaxRate, "a frame rate in frames per second"))
        ->capture_default_str();
    app.add_option("--noise", s.device.noise,
                   "probability per frame, 0 to 1, of a noise burst, a stray start byte or a "
                   "corrupted trailer")
        ->type_name("P")
        ->check(cli::decimal_number(0.0, 1.0, "a probability"))
        ->capture_default_str();
    app.add_option("--seed", s.device.seed, "seed of the noise")
        ->type_name("N")
        ->transform(cli::whole_number(0, UINT32_MAX, "a seed"))
        ->capture_default_str();
    app.add_option("--frames", s.frames, "number of frames for --out")
        ->type_name("N")
        ->transform(cli::whole_number(1, kMaxFrames, "a number of frames"))
        ->capture_default_str();
    app.add_flag("--overwrite", s.overwrite, "let --out replace an existing FILE");
    app.add_option("--log", s.log_path,
                   "write JSON Lines of every command received and frame sent to FILE")
        ->type_name("FILE");
    app.add_flag("--once", s.device.once, "exit after the first stop command (--pty)");
}

// The checks that span several options. Returns the first problem found.
std::optional<std::string> check(const Settings &s, const CLI::App &app) {
    if (s.use_pty && app.count("--out") != 0) {
        return "--pty and --out both given; choose one";
    }
    if (!s.use_pty && app.count("--out") == 0) {
        return "give --pty or --out FILE";
    }
    const char *const mode = s.use_pty ? "--pty" : "--out";
    const std::vector<std::pair<const char *, bool>> mode_options{
        {"--frames", false}, {"--overwrite", false}, {"--once", true}};
    for (const auto &[name, for_pty] : mode_options) {
        if (app.count(name) != 0 && for_pty != s.use_pty) {
            return std::string(name) + " applies to " + (for_pty ? "--pty" : "--out") +
                   ", not to " + mode;
        }
    }
    if (s.out_path.empty() && !s.use_pty) {
        return "--out needs a FILE, or '-' for standard output; it is empty";
    }
    if (s.log_path.empty() && app.count("--log") != 0) {
        return "--log needs a FILE, or '-' for standard output; it is empty";
    }
    return std::nullopt;
}

File open_log(const Settings &s) {
    return s.log_path.empty() ? File() : open_output(s.log_path, "log file");
}

// The log is opened after the output, so an output that cannot be opened
// leaves no log file behind either.
int run(const Settings &s) {
    install_signal_handlers();
    if (!s.use_pty) {
        const File out = open_stream(s.out_path, s.overwrite);
        const File log_file = open_log(s);
        quarn::sim::EventLog log(log_file.get());
        (void)write_stream(out.get(), s.out_path == "-" ? "standard output" : s.out_path, s.frames,
                           s.device, log);
        return quarn::tools::kExitOk;
    }

    const quarn::tools::Pty pty = quarn::tools::open_pty();
    const File log_file = open_log(s);
    quarn::sim::EventLog log(log_file.get());
    if (std::printf("%s\n", pty.path.c_str()) < 0 || std::fflush(stdout) != 0) {
        throw Error(quarn::tools::kExitFailure, "cannot print the pseudo-terminal's path");
    }
    (void)std::fprintf(stderr, "%s: simulated device on %s; try: quarn-monitor --port %s\n",
                       kProgram, pty.path.c_str(), pty.path.c_str());
    std::string error;
    if (quarn::sim::run_device(pty.master.get(), s.device, log, g_quit, error) != 0) {
        throw Error(quarn::tools::kExitFailure, error);
    }
    return quarn::tools::kExitOk;
}

} // namespace

int sim_main(int argc, char **argv) {
    CLI::App app{"quarn-sim: a simulated Quarn device.\n"
                 "With --pty it creates a pseudo-terminal, prints its path, waits for the upload\n"
                 "request and streams data frames until the stop command. With --out it writes a\n"
                 "stream of data frames to a file instead.",
                 kProgram};
    app.footer(std::string("Examples:\n"
                           "  quarn-sim --out stream.bin --frames 500 --noise 0.2\n"
                           "  quarn-monitor --replay stream.bin --json\n"
                           "  quarn-sim --pty            (then: quarn-monitor --port P, with the "
                           "path P it prints)\n\n") +
               quarn::tools::kExitCodesHelp);
    Settings s;
    add_options(app, s);
    if (auto code = cli::parse(app, argc, argv)) {
        return *code;
    }
    if (auto problem = check(s, app)) {
        return cli::report_usage_error(kProgram, *problem);
    }
    try {
        return run(s);
    } catch (const Error &e) {
        (void)std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return e.exit_code();
    }
}

int main(int argc, char **argv) {
    try {
        return sim_main(argc, argv);
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return quarn::tools::kExitFailure;
    }
}
