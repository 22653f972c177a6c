#include "sources.h"

#include "devices.h"
#include "error.h"
#include "recording.h"
#include "serial.h"
#include "signals.h"
#include "sim_device.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace quarn::tools {
namespace {

constexpr auto kCommandTimeout = std::chrono::seconds(1);

int poll_timeout_ms(Clock::time_point until) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, INT32_MAX));
}

// Waits for a descriptor until `until` and reads what it has. Returns the
// bytes read, 0 when nothing came, and -1 at an end of file or a hang-up
// (with errno 0 for an end of file).
ssize_t read_ready(int fd, uint8_t *buf, size_t capacity, Clock::time_point until) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, poll_timeout_ms(until)) <= 0) {
        return 0;
    }
    const ssize_t n = read(fd, buf, capacity);
    if (n > 0) {
        return n;
    }
    if (n == 0) {
        errno = 0;
        return -1;
    }
    return errno == EAGAIN || errno == EINTR ? 0 : -1;
}

// The error for a device that went away while it was read.
Error lost(const std::string &name) {
    const int e = errno;
    return Error(kExitFailure, name + " disappeared" +
                                   (e == 0 || e == EIO ? std::string(" (the line hung up)")
                                                       : ": " + errno_text(e)));
}

// The simulated device on a pseudo-terminal, for as long as it lives.
class EmbeddedSimulator {
  public:
    EmbeddedSimulator() : pty_(open_pty()) {
        thread_ = start_thread_without_signals([this] {
            quarn::sim::EventLog no_log(nullptr);
            std::string ignored;
            quarn::sim::run_device(pty_.master.get(), quarn::sim::Options{}, no_log, quit_,
                                   ignored);
        });
    }
    EmbeddedSimulator(const EmbeddedSimulator &) = delete;
    EmbeddedSimulator &operator=(const EmbeddedSimulator &) = delete;
    EmbeddedSimulator(EmbeddedSimulator &&) = delete;
    EmbeddedSimulator &operator=(EmbeddedSimulator &&) = delete;
    ~EmbeddedSimulator() {
        quit_.store(true);
        thread_.join();
    }
    const std::string &path() const {
        return pty_.path;
    }

  private:
    Pty pty_;
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

class SerialSource : public Source {
  public:
    SerialSource(const Options &options, std::unique_ptr<EmbeddedSimulator> simulator)
        : simulator_(std::move(simulator)), path_(simulator_ ? simulator_->path() : options.port),
          name_((simulator_ ? "simulated device " : "serial port ") + path_), baud_(options.baud),
          request_(options.request), root_(SystemRoot::from_environment()) {
        try {
            open(path_);
        } catch (const Absent &) {
            if (!options.reconnect) {
                throw;
            }
        }
    }

    SourceKind kind() const override {
        return SourceKind::port_data;
    }
    std::string title() const override {
        return simulator_ ? "simulated device on " + path_
                          : name_ + " at " + std::to_string(baud_) + " baud";
    }
    void start() override {
        uint8_t request[QUARN_UPLOAD_REQUEST_SIZE];
        request_upload_port_data(request, request_[0], request_[1]);
        if (!write_all(fd_.get(), request, sizeof request, kCommandTimeout)) {
            throw Error(kExitFailure,
                        "could not send the upload request to " + name_ + ": " + errno_text(errno));
        }
    }
    Received read(uint8_t *buf, size_t capacity, Clock::time_point until) override {
        const ssize_t n = read_ready(fd_.get(), buf, capacity, until);
        if (n < 0) {
            const Error why = lost(name_);
            fd_.reset();
            throw Lost(why.what());
        }
        return {static_cast<size_t>(n), false, false};
    }
    // Waits until the stop command has left, so the device is not left
    // streaming. A hang-up while draining (EIO) means the device took the
    // command and went away.
    void stop() override {
        if (!fd_.valid()) {
            return;
        }
        uint8_t stop[QUARN_UPLOAD_STOP_SIZE];
        stop_upload_port_data(stop);
        if (!write_all(fd_.get(), stop, sizeof stop, kCommandTimeout) ||
            (tcdrain(fd_.get()) != 0 && errno != EIO)) {
            throw Error(kExitFailure,
                        "could not send the stop command to " + name_ + ": " + errno_text(errno));
        }
    }

    bool connected() const override {
        return fd_.valid();
    }
    // The same path, or the same USB device under whatever name it has now.
    bool reconnect(std::string &why) override {
        const auto paths = known_ ? find_again(root_, *known_, path_) : std::vector{path_};
        if (paths.empty()) {
            const UsbDevice &usb = *known_->usb;
            why = "no port of USB device " + usb.vid + ":" + usb.pid +
                  (usb.serial.empty() ? "" : " with serial number " + usb.serial) + " is attached";
        }
        for (const auto &path : paths) {
            try {
                open(path);
                start();
                return true;
            } catch (const Error &e) {
                fd_.reset();
                why = e.what();
            }
        }
        return false;
    }
    std::string where() const override {
        return open_path_;
    }
    std::vector<std::string> take_notes() override {
        return std::exchange(notes_, {});
    }

  private:
    // Opens the port; the first time, learns which USB device it is and
    // checks its latency timer.
    void open(const std::string &path) {
        fd_ = open_serial_port(path, baud_);
        open_path_ = path;
        if (latency_checked_) {
            return;
        }
        latency_checked_ = true;
        known_ = find_serial_port(root_, path);
        if (known_ && !known_->usb) {
            known_.reset(); // a built-in port is found by its path alone
        }
        const auto tty = node_name(path);
        const auto ms = tty ? latency_timer_ms(root_, *tty) : std::nullopt;
        if (ms && *ms > 1) {
            notes_.push_back(latency_hint(root_, *tty, *ms));
        }
    }

    std::unique_ptr<EmbeddedSimulator> simulator_;
    std::string path_;
    std::string name_;
    unsigned baud_;
    std::array<uint8_t, 2> request_;
    SystemRoot root_;
    std::optional<SerialPort> known_; // the USB device first opened, to find it again
    bool latency_checked_ = false;
    std::vector<std::string> notes_;
    std::string open_path_;
    Fd fd_;
};

Fd open_replay_file(const std::string &path) {
    const std::string what = "replay file " + path;
    Fd fd(path == "-" ? dup(STDIN_FILENO) : open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st = {};
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        throw Error(kExitOpen, "cannot open " + what + ": " + errno_text(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        throw Error(kExitOpen, "cannot open " + what + ": " + errno_text(EISDIR));
    }
    return fd;
}

// Replays a recording: a timed one at its recorded pace scaled by the
// speed (0: at once), a raw one at once.
class ReplaySource : public Source {
  public:
    explicit ReplaySource(const Options &options)
        : name_(options.replay == "-" ? std::string("standard input") : options.replay),
          reader_(open_replay_file(options.replay), name_), speed_(options.replay_speed) {}

    SourceKind kind() const override {
        return SourceKind::port_data;
    }
    std::string title() const override {
        if (!reader_.timed()) {
            return "replay of " + name_ + " (raw bytes)";
        }
        return "replay of " + name_ +
               (speed_ > 0 ? " at " + format_speed() + "x its recorded pace" : " at full speed");
    }
    bool finite() const override {
        return true;
    }
    void start() override {
        start_ = Clock::now();
    }
    Received read(uint8_t *buf, size_t capacity, Clock::time_point until) override {
        if (sent_ == chunk_.bytes.size()) {
            sent_ = 0;
            if (!reader_.next(chunk_)) {
                chunk_.bytes.clear();
                return {0, true, false};
            }
            if (chunk_.bytes.empty()) {
                return {0, false, true}; // where the device was reconnected
            }
        }
        if (reader_.timed() && speed_ > 0) {
            const auto due = start_ + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double, std::micro>(
                                              static_cast<double>(chunk_.at.count()) / speed_));
            std::this_thread::sleep_until(std::min(due, until));
            if (Clock::now() < due) {
                return {0, false, false};
            }
        }
        const size_t n = std::min(capacity, chunk_.bytes.size() - sent_);
        std::copy_n(chunk_.bytes.begin() + static_cast<long>(sent_), n, buf);
        sent_ += n;
        return {n, false, false};
    }
    std::string end_notice() const override {
        return reader_.cut_notice();
    }

  private:
    std::string format_speed() const {
        std::string s = std::to_string(speed_);
        s.erase(s.find_last_not_of('0') + 1);
        if (!s.empty() && s.back() == '.') {
            s.pop_back();
        }
        return s;
    }

    std::string name_;
    RecordingReader reader_;
    double speed_;
    Clock::time_point start_;
    RecordingReader::Chunk chunk_;
    size_t sent_ = 0;
};

// SBUS frames from a serial port, a pseudo-terminal, a FIFO or a file. A
// terminal that hangs up is lost; a file or FIFO simply ends.
class SbusInputSource : public Source {
  public:
    explicit SbusInputSource(const std::string &path)
        : path_(path), fd_(open_sbus_input(path, terminal_)) {}

    SourceKind kind() const override {
        return SourceKind::sbus;
    }
    std::string title() const override {
        return "SBUS input " + path_;
    }
    bool finite() const override {
        return !terminal_;
    }
    Received read(uint8_t *buf, size_t capacity, Clock::time_point until) override {
        const ssize_t n = read_ready(fd_.get(), buf, capacity, until);
        if (n >= 0) {
            return {static_cast<size_t>(n), false, false};
        }
        if (!terminal_ && errno == 0) {
            return {0, true, false};
        }
        throw lost("SBUS input " + path_);
    }

  private:
    std::string path_;
    bool terminal_ = false;
    Fd fd_;
};

} // namespace

std::unique_ptr<Source> open_source(const Options &options) {
    if (options.simulate) {
        return std::make_unique<SerialSource>(options, std::make_unique<EmbeddedSimulator>());
    }
    if (!options.port.empty()) {
        return std::make_unique<SerialSource>(options, nullptr);
    }
    if (!options.replay.empty()) {
        return std::make_unique<ReplaySource>(options);
    }
    if (!options.sbus_in.empty()) {
        return std::make_unique<SbusInputSource>(options.sbus_in);
    }
    return open_hid_source(options);
}

} // namespace quarn::tools
