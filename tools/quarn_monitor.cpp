// quarn-monitor: shows, records and forwards what a Quarn device sends, over
// a serial port, from a recording, over HID, or from the built-in simulator.
// It uses the library only through its public header, like any host.
#include "screen.h"
#include "serial.h"
#include "sim_device.h"
#include "text.h"

#include <QuarnInterface.h>

#include <CLI/CLI.hpp>
#include <hidapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <langinfo.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using quarn::tools::OpenError;

constexpr int kExitLost = 1;
constexpr int kExitUsage = 2;
constexpr int kExitOpen = 2;
constexpr unsigned kDefaultBaud = 115200;
constexpr unsigned kMaxChunk = UINT8_MAX; // parse_port_data takes at most 255 bytes
constexpr size_t kReadBufferSize = 4096;
constexpr size_t kHidReportBufferSize = 64;
constexpr auto kRedrawPeriod = 33ms;
constexpr auto kPlainPeriod = 1s;
constexpr auto kRatePeriod = 1s;
constexpr auto kMaxWait = 50ms;
constexpr auto kStopWriteTimeout = 1s;
constexpr int kDefaultColumns = 80;
constexpr unsigned kSixteenBitMax = UINT16_MAX;
constexpr unsigned kTwelveBitMax = 4095;
constexpr unsigned kFourBitMax = 15;
constexpr unsigned kControllerTwelveBitFirst = 3;
constexpr unsigned kControllerTwelveBitLast = 7;
constexpr unsigned kControllerFourBit = 8;

volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void on_stop_signal(int signal_number) {
    g_stop_signal = signal_number;
}

void install_signal_handlers() {
    struct sigaction sa = {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: a signal must wake the poll that waits for data.
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);
    // A closed pipe on standard output ends the session like a signal does,
    // so the device is still told to stop.
    (void)std::signal(SIGPIPE, SIG_IGN);
}

// Ends the program with a message and exit code where nothing else is owed
// to the device (it could not be opened, or it is gone).
struct Fatal {
    int code;
    std::string message;
};

struct Options {
    std::string port;
    std::string replay;
    std::string hid_id;
    std::string hid_path;
    bool simulate = false;
    unsigned baud = kDefaultBaud;
    std::vector<unsigned> request{0, 0};
    bool json = false;
    std::string record;
    double duration = 0.0;
    unsigned chunk = kMaxChunk;
    unsigned bar_max = quarn::sim::kStandardMax;
    std::string sbus_out;
    unsigned sbus_period_ms = 14;
    std::string sbus_source = "ports-low";
    bool sbus_raw = false;
    bool sbus2 = false;
    unsigned failsafe_ms = 100;
};

std::string errno_text(int e) {
    return std::strerror(e);
}

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Writes every byte to a non-blocking descriptor, waiting for room up to a
// deadline. Returns false with errno set on failure.
bool write_all(int fd, const uint8_t *data, size_t len, Clock::duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (len > 0) {
        const ssize_t n = write(fd, data, len);
        if (n > 0) {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        pollfd pfd{fd, POLLOUT, 0};
        poll(&pfd, 1, static_cast<int>(left.count()));
    }
    return true;
}

// Sends SBUS frames at a fixed period while data keeps arriving.
class SbusForwarder {
  public:
    SbusForwarder(int fd, std::string path, const Options &options)
        : fd_(fd), path_(std::move(path)),
          period_(std::chrono::milliseconds(options.sbus_period_ms)),
          failsafe_(std::chrono::milliseconds(options.failsafe_ms)),
          first_port_(options.sbus_source == "ports-high" ? QUARN_PORT_GROUP_SIZE : 0),
          convert_(!options.sbus_raw), v2_(options.sbus2), next_(Clock::now()) {
        frame_[0] = QUARN_SBUS_START_BYTE;
    }
    SbusForwarder(const SbusForwarder &) = delete;
    SbusForwarder &operator=(const SbusForwarder &) = delete;
    ~SbusForwarder() {
        close(fd_);
    }

    void on_data(Clock::time_point now) {
        last_data_ = now;
    }
    Clock::time_point next_due() const {
        return next_;
    }

    // Sends the frame that is due, if any. Returns an error message when the
    // output has failed.
    std::optional<std::string> tick(Clock::time_point now, const uint16_t *ports) {
        if (now < next_) {
            return std::nullopt;
        }
        next_ += period_;
        if (next_ < now) {
            next_ = now + period_; // after a stall, keep the period rather than catch up
        }
        holding_ = !last_data_ || now - *last_data_ > failsafe_;
        if (holding_) {
            return std::nullopt;
        }
        uint16_t set[QUARN_SBUS_CHANNEL_COUNT];
        std::copy(ports + first_port_, ports + first_port_ + QUARN_SBUS_CHANNEL_COUNT, set);
        if (convert_) {
            convert_std_sbus_data(set, set);
        }
        if (v2_) {
            encode_sbus_data_v2(frame_, set);
        } else {
            encode_sbus_data_v1(frame_, set);
        }
        const ssize_t n = write(fd_, frame_, sizeof frame_);
        if (n == static_cast<ssize_t>(sizeof frame_)) {
            ++sent_;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            ++dropped_; // nobody is reading: a late SBUS frame is worthless
        } else if (n >= 0) {
            // A torn frame would desynchronise the receiver: finish it.
            if (!write_all(fd_, frame_ + n, sizeof frame_ - static_cast<size_t>(n), period_)) {
                return "SBUS output " + path_ + " failed: " + errno_text(errno);
            }
            ++sent_;
        } else {
            return "SBUS output " + path_ + " failed: " + errno_text(errno);
        }
        return std::nullopt;
    }

    std::string describe(Clock::time_point now) const {
        std::string text = "SBUS -> " + path_ + ": " + std::to_string(sent_) + " frames";
        if (dropped_ != 0) {
            text += ", " + std::to_string(dropped_) + " dropped";
        }
        if (!last_data_) {
            text += ", waiting for data";
        } else if (holding_) {
            text +=
                quarn::tools::format(", FAILSAFE: no data for %.1f s", seconds(now - *last_data_));
        } else {
            text += ", sending";
        }
        return text;
    }

  private:
    int fd_;
    std::string path_;
    Clock::duration period_;
    Clock::duration failsafe_;
    unsigned first_port_;
    bool convert_;
    bool v2_;
    Clock::time_point next_;
    std::optional<Clock::time_point> last_data_;
    bool holding_ = true;
    uint64_t sent_ = 0;
    uint64_t dropped_ = 0;
    uint8_t frame_[QUARN_SBUS_FRAME_SIZE] = {};
};

enum class Output { screen, json, plain };
enum class Decoded { nothing, port_data, controller, compatible };

// Holds the current values and the statistics, and presents them.
class Monitor {
  public:
    Monitor(const Options &options, std::string title, Output output)
        : options_(options), title_(std::move(title)), output_(output), start_(Clock::now()),
          rate_window_start_(start_),
          next_show_(output == Output::plain ? start_ + Clock::duration(kPlainPeriod) : start_) {
        if (output_ == Output::screen) {
            (void)std::setlocale(LC_CTYPE, "");
            unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
            print(quarn::tools::screen_begin());
        }
    }
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;
    ~Monitor() {
        if (output_ == Output::screen) {
            print(quarn::tools::screen_end());
        }
    }

    void set_record(int fd) {
        record_fd_ = fd;
    }
    void set_sbus(SbusForwarder *sbus) {
        sbus_ = sbus;
    }
    bool should_end() const {
        return output_failed_ || failure_.has_value();
    }
    const std::optional<std::string> &failure() const {
        return failure_;
    }

    void on_bytes(const uint8_t *data, size_t len, Clock::time_point now) {
        bytes_ += len;
        if (record_fd_ >= 0 && !write_all(record_fd_, data, len, kStopWriteTimeout)) {
            failure_ = "writing record file " + options_.record + " failed: " + errno_text(errno);
        }
        while (len > 0) {
            const auto n = static_cast<uint8_t>(std::min<size_t>(len, options_.chunk));
            if (parse_port_data(data, n, channels_, ports_) != 0) {
                decoded_ = Decoded::port_data;
                on_update(now);
            }
            data += n;
            len -= n;
        }
    }

    void on_hid_report(const uint8_t *report, size_t len, Clock::time_point now) {
        bytes_ += len;
        if (len == QUARN_HID_GAME_CONTROLLER_REPORT_SIZE &&
            parse_hid_game_controller_device(&controller_, report, static_cast<uint8_t>(len)) !=
                0) {
            decoded_ = Decoded::controller;
        } else if (len == QUARN_HID_COMPATIBLE_REPORT_SIZE &&
                   parse_hid_compatible_device(channels_, report, static_cast<uint8_t>(len)) != 0) {
            decoded_ = Decoded::compatible;
        } else {
            ++refused_;
            return;
        }
        on_update(now);
    }

    Clock::time_point next_wakeup() const {
        auto next = output_ == Output::json ? Clock::time_point::max() : next_show_;
        if (sbus_ != nullptr) {
            next = std::min(next, sbus_->next_due());
        }
        return next;
    }

    void tick(Clock::time_point now) {
        if (sbus_ != nullptr) {
            if (auto error = sbus_->tick(now, ports_)) {
                failure_ = std::move(error);
            }
        }
        if (now - rate_window_start_ >= kRatePeriod) {
            rate_ = static_cast<double>(updates_in_window_) / seconds(now - rate_window_start_);
            updates_in_window_ = 0;
            rate_window_start_ = now;
        }
        if (output_ != Output::json && now >= next_show_) {
            show(now);
            next_show_ = now + (output_ == Output::screen ? Clock::duration(kRedrawPeriod)
                                                          : Clock::duration(kPlainPeriod));
        }
    }

    // Shows the final state once more, so a replay leaves its result visible.
    void finish(Clock::time_point now) {
        if (output_ != Output::json) {
            show(now);
        }
    }

  private:
    void on_update(Clock::time_point now) {
        ++updates_in_window_;
        last_update_ = now;
        if (decoded_ == Decoded::port_data && sbus_ != nullptr) {
            sbus_->on_data(now);
        }
        if (output_ == Output::json) {
            print(json_line(now));
        }
    }

    std::string json_line(Clock::time_point now) const {
        std::string line = quarn::tools::format("{\"t\":%.3f", seconds(now - start_));
        if (decoded_ == Decoded::controller) {
            line += ",\"controller\":";
            quarn::tools::append_json_array(line, controller_.values, QUARN_CONTROLLER_VALUE_COUNT);
        } else {
            line += ",\"channels\":";
            quarn::tools::append_json_array(line, channels_, QUARN_CHANNEL_COUNT);
        }
        if (decoded_ == Decoded::port_data) {
            line += ",\"ports\":";
            quarn::tools::append_json_array(line, ports_, QUARN_PORT_COUNT);
        }
        line += "}\n";
        return line;
    }

    std::string status(Clock::time_point now) const {
        const std::string since =
            last_update_ ? quarn::tools::format("%.3f s ago", seconds(now - *last_update_))
                         : "never";
        return quarn::tools::format(
            "bytes %llu | %.1f updates/s | last update %s | refused HID reports %llu",
            static_cast<unsigned long long>(bytes_), rate_, since.c_str(),
            static_cast<unsigned long long>(refused_));
    }

    void show(Clock::time_point now) {
        if (output_ == Output::plain) {
            std::string line = quarn::tools::format("t=%.1f ", seconds(now - start_)) + status(now);
            if (decoded_ == Decoded::controller) {
                line += " controller=";
                quarn::tools::append_json_array(line, controller_.values,
                                                QUARN_CONTROLLER_VALUE_COUNT);
            } else if (decoded_ != Decoded::nothing) {
                line += " channels=";
                quarn::tools::append_json_array(line, channels_, QUARN_CHANNEL_COUNT);
            }
            if (decoded_ == Decoded::port_data) {
                line += " ports=";
                quarn::tools::append_json_array(line, ports_, QUARN_PORT_COUNT);
            }
            print(line + "\n");
            return;
        }
        quarn::tools::ScreenContent content;
        content.title = "quarn-monitor  " + title_;
        if (decoded_ == Decoded::controller) {
            content.bars_heading = "Game controller";
            for (unsigned k = 0; k < QUARN_CONTROLLER_VALUE_COUNT; ++k) {
                unsigned max = kSixteenBitMax;
                if (k >= kControllerTwelveBitFirst && k <= kControllerTwelveBitLast) {
                    max = kTwelveBitMax;
                } else if (k == kControllerFourBit) {
                    max = kFourBitMax;
                }
                content.bars.push_back({"V" + std::to_string(k), controller_.values[k], max});
            }
        } else {
            content.bars_heading = "Channels";
            for (unsigned k = 0; k < QUARN_CHANNEL_COUNT; ++k) {
                content.bars.push_back(
                    {"CH" + std::to_string(k + 1), channels_[k], options_.bar_max});
            }
        }
        const bool hid = !options_.hid_id.empty() || !options_.hid_path.empty();
        content.ports = hid ? nullptr : ports_;
        content.status = status(now);
        if (sbus_ != nullptr) {
            content.sbus = sbus_->describe(now);
        }
        winsize ws = {};
        const int columns = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0
                                ? ws.ws_col
                                : kDefaultColumns;
        print(quarn::tools::render_screen(content, columns, unicode_));
    }

    void print(const std::string &text) {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
            std::fflush(stdout) != 0) {
            output_failed_ = true;
        }
    }

    const Options &options_;
    std::string title_;
    Output output_;
    bool unicode_ = false;
    Clock::time_point start_;
    uint16_t channels_[QUARN_CHANNEL_COUNT] = {};
    uint16_t ports_[QUARN_PORT_COUNT] = {};
    controller_state controller_ = {};
    Decoded decoded_ = Decoded::nothing;
    uint64_t bytes_ = 0;
    uint64_t refused_ = 0;
    uint64_t updates_in_window_ = 0;
    double rate_ = 0.0;
    Clock::time_point rate_window_start_;
    Clock::time_point next_show_;
    std::optional<Clock::time_point> last_update_;
    int record_fd_ = -1;
    SbusForwarder *sbus_ = nullptr;
    bool output_failed_ = false;
    std::optional<std::string> failure_;
};

bool stop_requested(const Monitor &monitor, std::optional<Clock::time_point> end,
                    Clock::time_point now) {
    return g_stop_signal != 0 || monitor.should_end() || (end && now >= *end);
}

int wait_ms(const Monitor &monitor, std::optional<Clock::time_point> end, Clock::time_point now) {
    auto until = std::min(monitor.next_wakeup(), now + Clock::duration(kMaxWait));
    if (end) {
        until = std::min(until, *end);
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    return static_cast<int>(std::max<long long>(ms, 0));
}

// Reads a byte stream until it ends or the session is asked to end. A serial
// port that hangs up or fails is a device that disappeared.
void run_stream(Monitor &monitor, int fd, bool serial, const std::string &name,
                std::optional<Clock::time_point> end) {
    uint8_t buf[kReadBufferSize];
    for (auto now = Clock::now(); !stop_requested(monitor, end, now); now = Clock::now()) {
        pollfd pfd{fd, POLLIN, 0};
        const int ready = poll(&pfd, 1, wait_ms(monitor, end, now));
        now = Clock::now();
        if (ready > 0 && (pfd.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                monitor.on_bytes(buf, static_cast<size_t>(n), now);
            } else if (n == 0 && !serial) {
                return; // the end of the recording
            } else if (n == 0) {
                throw Fatal{kExitLost, name + " disappeared (the line hung up)"};
            } else if (errno != EAGAIN && errno != EINTR) {
                throw Fatal{kExitLost, name + " disappeared: " + errno_text(errno)};
            }
        }
        monitor.tick(now);
    }
}

// Tells the device to stop streaming and waits until the command has left.
void send_stop(int fd, const std::string &name) {
    uint8_t stop[QUARN_UPLOAD_STOP_SIZE];
    stop_upload_port_data(stop);
    // A hang-up while draining (EIO) means the device took the command and
    // went away, so it cannot be left streaming.
    if (!write_all(fd, stop, sizeof stop, kStopWriteTimeout) ||
        (tcdrain(fd) != 0 && errno != EIO)) {
        throw Fatal{kExitLost,
                    "could not send the stop command to " + name + ": " + errno_text(errno)};
    }
}

void run_serial(Monitor &monitor, const Options &options, const std::string &path,
                const std::string &name, std::optional<Clock::time_point> end) {
    OpenError error;
    const int fd = quarn::tools::open_serial_port(path, options.baud, error);
    if (fd < 0) {
        throw Fatal{kExitOpen, error.message};
    }
    struct Closer {
        int fd;
        ~Closer() {
            close(fd);
        }
    } closer{fd};
    uint8_t request[QUARN_UPLOAD_REQUEST_SIZE];
    request_upload_port_data(request, static_cast<uint8_t>(options.request[0]),
                             static_cast<uint8_t>(options.request[1]));
    if (!write_all(fd, request, sizeof request, kStopWriteTimeout)) {
        throw Fatal{kExitLost,
                    "could not send the upload request to " + name + ": " + errno_text(errno)};
    }
    run_stream(monitor, fd, true, name, end);
    send_stop(fd, name);
}

// Runs the simulated device on a pseudo-terminal for as long as it lives.
class EmbeddedSimulator {
  public:
    EmbeddedSimulator() {
        std::string error;
        if (!quarn::sim::open_pty(pty_, error)) {
            throw Fatal{kExitOpen, error};
        }
        thread_ = std::thread([this] {
            quarn::sim::EventLog no_log(nullptr);
            std::string ignored;
            quarn::sim::run_device(pty_.master, quarn::sim::Options{}, no_log, quit_, ignored);
        });
    }
    EmbeddedSimulator(const EmbeddedSimulator &) = delete;
    EmbeddedSimulator &operator=(const EmbeddedSimulator &) = delete;
    ~EmbeddedSimulator() {
        quit_.store(true);
        thread_.join();
        quarn::sim::close_pty(pty_);
    }
    const std::string &path() const {
        return pty_.path;
    }

  private:
    quarn::sim::Pty pty_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

std::string narrow(const wchar_t *text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out += *text < 0x80 ? static_cast<char>(*text) : '?';
    }
    return out.empty() ? "no such device, or no permission to open it" : out;
}

void run_hid(Monitor &monitor, const Options &options, std::optional<Clock::time_point> end) {
    const std::string name =
        "HID device " + (options.hid_path.empty() ? options.hid_id : options.hid_path);
    if (hid_init() != 0) {
        throw Fatal{kExitOpen, "cannot start hidapi: " + narrow(hid_error(nullptr))};
    }
    struct Exit {
        ~Exit() {
            hid_exit();
        }
    } exit_hidapi;
    hid_device *device = nullptr;
    if (!options.hid_path.empty()) {
        device = hid_open_path(options.hid_path.c_str());
    } else {
        const auto colon = options.hid_id.find(':');
        const auto vid =
            static_cast<uint16_t>(std::stoul(options.hid_id.substr(0, colon), nullptr, 16));
        const auto pid =
            static_cast<uint16_t>(std::stoul(options.hid_id.substr(colon + 1), nullptr, 16));
        device = hid_open(vid, pid, nullptr);
    }
    if (device == nullptr) {
        std::string reason = narrow(hid_error(nullptr));
        if (errno == EACCES) {
            reason += " (hidraw nodes need a udev rule that grants your user access)";
        }
        throw Fatal{kExitOpen, "cannot open " + name + ": " + reason};
    }
    struct Closer {
        hid_device *device;
        ~Closer() {
            hid_close(device);
        }
    } closer{device};
    uint8_t report[kHidReportBufferSize];
    for (auto now = Clock::now(); !stop_requested(monitor, end, now); now = Clock::now()) {
        const int n = hid_read_timeout(device, report, sizeof report, wait_ms(monitor, end, now));
        now = Clock::now();
        if (n < 0 && g_stop_signal == 0) {
            throw Fatal{kExitLost, name + " disappeared: " + narrow(hid_error(device))};
        }
        if (n > 0) {
            monitor.on_hid_report(report, static_cast<size_t>(n), now);
        }
        monitor.tick(now);
    }
}

int open_record(const std::string &path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        throw Fatal{kExitOpen, "cannot open record file " + path + ": " + errno_text(errno)};
    }
    return fd;
}

int run(const Options &options) {
    std::optional<Clock::time_point> end;
    if (options.duration > 0) {
        end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.duration));
    }
    Output output = Output::plain;
    if (options.json) {
        output = Output::json;
    } else if (isatty(STDOUT_FILENO) != 0) {
        output = Output::screen;
    }

    // Every output is opened before the device is asked to stream, so a bad
    // path never leaves it streaming.
    struct RecordFile {
        int fd = -1;
        ~RecordFile() {
            if (fd >= 0) {
                close(fd);
            }
        }
    } record;
    if (!options.record.empty()) {
        record.fd = open_record(options.record);
    }
    std::optional<SbusForwarder> sbus;
    if (!options.sbus_out.empty()) {
        OpenError error;
        const int fd = quarn::tools::open_sbus_output(options.sbus_out, error);
        if (fd < 0) {
            throw Fatal{kExitOpen, error.message};
        }
        sbus.emplace(fd, options.sbus_out, options);
    }

    std::optional<EmbeddedSimulator> simulator;
    std::string title;
    if (options.simulate) {
        simulator.emplace();
        title = "simulated device on " + simulator->path();
    } else if (!options.port.empty()) {
        title = "serial port " + options.port + " at " + std::to_string(options.baud) + " baud";
    } else if (!options.replay.empty()) {
        title =
            "replay of " + (options.replay == "-" ? std::string("standard input") : options.replay);
    } else {
        title = "HID device " + (options.hid_path.empty() ? options.hid_id : options.hid_path);
    }

    int replay_fd = -1;
    if (!options.replay.empty()) {
        replay_fd = options.replay == "-" ? STDIN_FILENO
                                          : open(options.replay.c_str(), O_RDONLY | O_CLOEXEC);
        if (replay_fd < 0) {
            throw Fatal{kExitOpen,
                        "cannot open replay file " + options.replay + ": " + errno_text(errno)};
        }
    }

    Monitor monitor(options, title, output);
    monitor.set_record(record.fd);
    monitor.set_sbus(sbus ? &*sbus : nullptr);
    if (simulator) {
        run_serial(monitor, options, simulator->path(), "simulated device " + simulator->path(),
                   end);
    } else if (!options.port.empty()) {
        run_serial(monitor, options, options.port, "serial port " + options.port, end);
    } else if (replay_fd >= 0) {
        run_stream(monitor, replay_fd, false, "replay file " + options.replay, end);
        if (replay_fd != STDIN_FILENO) {
            close(replay_fd);
        }
    } else {
        run_hid(monitor, options, end);
    }
    monitor.finish(Clock::now());
    if (monitor.failure()) {
        throw Fatal{kExitLost, *monitor.failure()};
    }
    return 0;
}

bool valid_hid_id(const std::string &id) {
    const auto colon = id.find(':');
    auto hex4 = [](const std::string &s) {
        return !s.empty() && s.size() <= 4 &&
               s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    };
    return colon != std::string::npos && hex4(id.substr(0, colon)) && hex4(id.substr(colon + 1));
}

} // namespace

int monitor_main(int argc, char **argv) {
    CLI::App app{"quarn-monitor: shows, records and forwards what a Quarn device sends.\n"
                 "On a terminal it draws a live screen; --json prints JSON Lines instead.",
                 "quarn-monitor"};
    Options o;
    auto *source = app.add_option_group("source", "where the data comes from (exactly one)");
    source->add_option("--port", o.port, "serial port of the device, e.g. /dev/ttyUSB0")
        ->type_name("PATH");
    source->add_option("--replay", o.replay, "decode a recorded stream ('-' for standard input)")
        ->type_name("FILE");
    source->add_option("--hid", o.hid_id, "HID device by vendor and product id, hex VID:PID")
        ->type_name("VID:PID")
        ->check([](const std::string &s) {
            return valid_hid_id(s) ? std::string() : "expected hex VID:PID";
        });
    source->add_option("--hid-path", o.hid_path, "HID device by path, e.g. /dev/hidraw3")
        ->type_name("PATH");
    source->add_flag("--simulate", o.simulate,
                     "run the built-in simulated device on a pseudo-terminal");
    source->require_option(1);

    app.add_option("--baud", o.baud, "serial line rate")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    app.add_option("--request", o.request,
                   "the two request bytes of the upload request, A,B (0-255)")
        ->delimiter(',')
        ->expected(2)
        ->check(CLI::Range(0U, static_cast<unsigned>(UINT8_MAX)))
        ->capture_default_str();
    app.add_flag("--json", o.json, "print JSON Lines: one object per read that decoded something");
    auto *record = app.add_option("--record", o.record, "append every received byte to FILE")
                       ->type_name("FILE");
    app.add_option("--duration", o.duration, "end after SECONDS")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);
    app.add_option("--chunk-size", o.chunk,
                   "feed the decoder at most N bytes per call; 1 gives one update per data frame")
        ->check(CLI::Range(1U, kMaxChunk))
        ->capture_default_str();
    app.add_option("--bar-max", o.bar_max, "channel value that fills a bar on the live screen")
        ->check(CLI::PositiveNumber)
        ->capture_default_str();
    auto *sbus = app.add_option("--sbus-out", o.sbus_out,
                                "forward 16 port values as SBUS to this serial port")
                     ->type_name("PATH");
    app.add_option("--sbus-period-ms", o.sbus_period_ms, "SBUS frame period (14 normal, 7 fast)")
        ->check(CLI::Range(1U, 1000U))
        ->capture_default_str()
        ->needs(sbus);
    app.add_option("--sbus-source", o.sbus_source, "which group of 16 port values to forward")
        ->check(CLI::IsMember({"ports-low", "ports-high"}))
        ->capture_default_str()
        ->needs(sbus);
    app.add_flag("--sbus-raw", o.sbus_raw, "forward the values unscaled (already 0-2047)")
        ->needs(sbus);
    app.add_flag("--sbus2", o.sbus2, "use SBUS2 frames (cycling end byte)")->needs(sbus);
    app.add_option("--failsafe-ms", o.failsafe_ms,
                   "stop sending SBUS when no data came for this long")
        ->check(CLI::Range(1U, 60000U))
        ->capture_default_str()
        ->needs(sbus);

    try {
        app.parse(argc, argv);
        const bool hid = !o.hid_id.empty() || !o.hid_path.empty();
        if (hid && (record->count() != 0 || sbus->count() != 0)) {
            throw CLI::ValidationError(
                "--record and --sbus-out work on the serial stream, not with HID");
        }
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        (void)std::fprintf(stderr, "quarn-monitor: %s\n\n%s", e.what(), app.help().c_str());
        return kExitUsage;
    }

    install_signal_handlers();
    try {
        return run(o);
    } catch (const Fatal &f) {
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "quarn-monitor: %s\n", f.message.c_str());
        return f.code;
    }
}

int main(int argc, char **argv) {
    try {
        return monitor_main(argc, argv);
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "quarn-monitor: %s\n", e.what());
        return kExitLost;
    }
}
