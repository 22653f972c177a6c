#include "sbus_out.h"

#include "error.h"
#include "serial.h"
#include "signals.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

namespace quarn::tools {
namespace {

// The thread's name, as benchmarks and `top -H` find it.
constexpr const char *kThreadName = "quarn-sbus-out";
// A pseudo-terminal buffers what nobody reads, and a receiver that opens it
// late would get old frames first; a wire keeps none, so neither do we
// beyond this many.
constexpr int kMaxQueuedFrames = 8;
constexpr long kNanosPerSecond = 1000000000L;

timespec monotonic_after(std::chrono::nanoseconds delay) {
    timespec ts = {};
    (void)clock_gettime(CLOCK_MONOTONIC, &ts);
    const long long nanos = ts.tv_nsec + delay.count();
    ts.tv_sec += static_cast<time_t>(nanos / kNanosPerSecond);
    ts.tv_nsec = static_cast<long>(nanos % kNanosPerSecond);
    return ts;
}

timespec as_timespec(std::chrono::nanoseconds d) {
    timespec ts = {};
    ts.tv_sec = static_cast<time_t>(d.count() / kNanosPerSecond);
    ts.tv_nsec = static_cast<long>(d.count() % kNanosPerSecond);
    return ts;
}

} // namespace

SbusForwarder::SbusForwarder(Settings settings) : settings_(std::move(settings)) {
    // The timer first: once the output may have been created, nothing throws.
    timer_ = Fd(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
    if (!timer_.valid()) {
        throw Error(kExitOpen, "cannot create the SBUS timer: " + errno_text(errno));
    }
    if (settings_.path == kPtyPath) {
        Pty pty = open_pty();
        if (fcntl(pty.master.get(), F_SETFL, fcntl(pty.master.get(), F_GETFL) | O_NONBLOCK) != 0) {
            throw Error(kExitOpen,
                        "cannot set up pseudo-terminal " + pty.path + ": " + errno_text(errno));
        }
        out_ = std::move(pty.master);
        pty_slave_ = std::move(pty.slave);
        shown_path_ = pty.path;
    } else {
        out_ = open_sbus_output(settings_.path, created_);
        shown_path_ = settings_.path;
    }
    frame_[0] = QUARN_SBUS_START_BYTE;
}

// The thread sleeps in a read of the timer: firing it at once wakes it.
SbusForwarder::~SbusForwarder() {
    if (thread_.joinable()) {
        quit_.store(true);
        itimerspec now = {};
        now.it_value.tv_nsec = 1;
        (void)timerfd_settime(timer_.get(), 0, &now, nullptr);
        thread_.join();
    } else if (created_) {
        (void)unlink(settings_.path.c_str());
    }
}

const std::string &SbusForwarder::path() const {
    return shown_path_;
}

void SbusForwarder::start() {
    itimerspec deadlines = {};
    deadlines.it_value = monotonic_after(settings_.period);
    deadlines.it_interval = as_timespec(settings_.period);
    if (timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &deadlines, nullptr) != 0) {
        throw Error(kExitOpen, "cannot start the SBUS timer: " + errno_text(errno));
    }
    thread_ = start_thread_without_signals([this] { run(); });
}

void SbusForwarder::update(const uint16_t *ports, Clock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::copy(ports, ports + QUARN_PORT_COUNT, ports_.begin());
    last_data_ = now;
}

BridgeState SbusForwarder::state(Clock::time_point now) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    BridgeState s;
    s.path = shown_path_;
    s.frames_sent = sent_;
    s.dropped = dropped_;
    s.failsafe = paused_;
    if (last_data_) {
        s.silent_seconds = std::chrono::duration<double>(now - *last_data_).count();
    }
    return s;
}

std::optional<std::string> SbusForwarder::failure() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
}

// One blocking read per period: the timer's read returns at the deadline,
// with the number of deadlines passed since the last read.
void SbusForwarder::run() {
    (void)pthread_setname_np(pthread_self(), kThreadName);
    for (;;) {
        uint64_t expirations = 0;
        if (read(timer_.get(), &expirations, sizeof expirations) != sizeof expirations) {
            if (errno == EINTR) {
                continue;
            }
            const std::lock_guard<std::mutex> lock(mutex_);
            failure_ = "SBUS timer failed: " + errno_text(errno);
            return;
        }
        // Deadlines missed in a stall are not caught up: one frame carries
        // the newest values, and the next deadline stays on the grid.
        if (quit_.load() || !send(Clock::now())) {
            return;
        }
    }
}

bool SbusForwarder::send(Clock::time_point now) {
    std::array<uint16_t, QUARN_SBUS_CHANNEL_COUNT> set{};
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        paused_ = !last_data_ || now - *last_data_ > settings_.failsafe;
        if (paused_) {
            return true;
        }
        const auto *const first = ports_.begin() + settings_.first_port;
        std::copy(first, first + QUARN_SBUS_CHANNEL_COUNT, set.begin());
    }
    if (settings_.convert) {
        convert_std_sbus_data(set.data(), set.data());
    }
    if (settings_.sbus2) {
        encode_sbus_data_v2(frame_.data(), set.data());
    } else {
        encode_sbus_data_v1(frame_.data(), set.data());
    }
    const uint64_t stale = drop_stale_frames();
    const ssize_t n = write(out_.get(), frame_.data(), frame_.size());
    const int write_errno = errno;
    bool ok = true;
    bool sent = n == static_cast<ssize_t>(frame_.size());
    if (n >= 0 && !sent) {
        // A torn frame would throw the receiver out of step: finish it.
        ok = write_all(out_.get(), frame_.data() + n, frame_.size() - static_cast<size_t>(n),
                       settings_.period);
        sent = ok;
    } else if (n < 0 && write_errno != EAGAIN && write_errno != EINTR) {
        ok = false;
    }
    const int failure_errno = n < 0 ? write_errno : errno;
    const std::lock_guard<std::mutex> lock(mutex_);
    dropped_ += stale;
    if (sent) {
        ++sent_;
    } else if (ok) {
        ++dropped_; // nobody is reading: a late SBUS frame is worthless
    } else {
        failure_ = "SBUS output " + shown_path_ + " failed: " + errno_text(failure_errno);
    }
    return ok;
}

uint64_t SbusForwarder::drop_stale_frames() {
    int queued = 0;
    if (!pty_slave_.valid() || ioctl(pty_slave_.get(), FIONREAD, &queued) != 0 ||
        queued <= kMaxQueuedFrames * static_cast<int>(QUARN_SBUS_FRAME_SIZE)) {
        return 0;
    }
    (void)tcflush(pty_slave_.get(), TCIFLUSH);
    return static_cast<uint64_t>(queued) / QUARN_SBUS_FRAME_SIZE;
}

} // namespace quarn::tools
