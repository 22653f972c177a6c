// Timing of quarn-monitor's SBUS bridge over a pseudo-terminal.
//
// Runs `quarn-monitor --simulate --sbus-out pty` and, in the same run, a
// minimal reference sender that writes a 25-byte frame on absolute
// deadlines (clock_nanosleep with TIMER_ABSTIME) to a pseudo-terminal of its
// own. A reader on the other end of each timestamps every frame as it
// arrives; the figures are the spread of the periods between arrivals and
// the CPU time of the sending thread, for each period asked for.
//
//   quarn_sbus_timing --monitor build/linux/tools/quarn-monitor [--seconds 20] [--check]
//
// With --check the program exits 1 when the bridge misses a target: median
// period within 0.02 ms of nominal, median |period - nominal| at most
// 0.1 ms, 99th percentile at most three times the reference's, and at most
// 1% of one core.
#include "QuarnInterface.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kFrameSize = QUARN_SBUS_FRAME_SIZE;
constexpr long kNanosPerSecond = 1000000000L;
constexpr double kNanosPerMilli = 1e6;
constexpr double kWarmUpSeconds = 1.0; // the bridge sends once the first data arrived
constexpr int kDefaultSeconds = 20;
constexpr int kPeriodsMs[] = {14, 7};
constexpr double kMaxMedianOffsetMs = 0.02;
constexpr double kMaxMedianDeviationMs = 0.1;
constexpr double kMaxP99OfReference = 3.0;
constexpr double kMaxCpuPercent = 1.0;
constexpr double kPercentile99 = 0.99;
constexpr double kPercent = 100.0;
constexpr size_t kReadSize = 4096;
constexpr size_t kPathSize = 128;
constexpr const char *kBridgeThread = "quarn-sbus-out";
constexpr int kThreadSearchAttempts = 100;
constexpr auto kThreadSearchPause = std::chrono::milliseconds(20);
constexpr int kReadPollMs = 100;
constexpr long kNanosPerMilliLong = 1000000L;

int64_t now_ns() {
    timespec ts = {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNanosPerSecond + ts.tv_nsec;
}

[[noreturn]] void die(const std::string &what) {
    (void)std::fprintf(stderr, "quarn_sbus_timing: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// A thread's CPU time so far, from the scheduler's own account.
int64_t thread_cpu_ns(pid_t pid, pid_t tid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) +
                     "/schedstat");
    int64_t ns = 0;
    in >> ns;
    return ns;
}

// The thread of a process that carries this name; it may take a moment to
// start.
pid_t find_thread(pid_t pid, const std::string &name) {
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (int attempt = 0; attempt < kThreadSearchAttempts; ++attempt) {
        std::error_code error;
        for (const auto &task : std::filesystem::directory_iterator(tasks, error)) {
            std::ifstream comm(task.path() / "comm");
            std::string got;
            if (std::getline(comm, got) && got == name) {
                return static_cast<pid_t>(std::stol(task.path().filename().string()));
            }
        }
        std::this_thread::sleep_for(kThreadSearchPause);
    }
    errno = ESRCH;
    die("no thread " + name + " in quarn-monitor");
}

// Arrival times of whole frames on one descriptor, until `stop`.
void read_frames(int fd, const std::atomic<bool> &stop, std::vector<int64_t> &arrivals) {
    std::vector<char> buf(kReadSize);
    size_t bytes = 0;
    while (!stop.load()) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, kReadPollMs) <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buf.data(), buf.size());
        const int64_t t = now_ns();
        if (n <= 0) {
            return;
        }
        const size_t before = bytes / kFrameSize;
        bytes += static_cast<size_t>(n);
        for (size_t k = before; k < bytes / kFrameSize; ++k) {
            arrivals.push_back(t);
        }
    }
}

struct Stats {
    double mean = 0;
    double median = 0;
    double std_dev = 0;
    double median_dev = 0;
    double p99_dev = 0;
    double worst_dev = 0;
    double cpu_percent = 0;
    size_t frames = 0;
};

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))];
}

Stats measure(const std::vector<int64_t> &arrivals, int64_t from, int64_t to, double nominal_ms,
              int64_t cpu_ns) {
    std::vector<double> periods;
    for (size_t i = 1; i < arrivals.size(); ++i) {
        if (arrivals[i - 1] >= from && arrivals[i] <= to) {
            periods.push_back(static_cast<double>(arrivals[i] - arrivals[i - 1]) / kNanosPerMilli);
        }
    }
    Stats s;
    s.frames = periods.size();
    if (periods.empty()) {
        return s;
    }
    std::vector<double> devs;
    for (double p : periods) {
        s.mean += p / static_cast<double>(periods.size());
        devs.push_back(std::fabs(p - nominal_ms));
    }
    for (double p : periods) {
        s.std_dev += (p - s.mean) * (p - s.mean) / static_cast<double>(periods.size());
    }
    s.std_dev = std::sqrt(s.std_dev);
    s.median = percentile(periods, 0.5);
    s.median_dev = percentile(devs, 0.5);
    s.p99_dev = percentile(devs, kPercentile99);
    s.worst_dev = *std::max_element(devs.begin(), devs.end());
    s.cpu_percent = kPercent * static_cast<double>(cpu_ns) / static_cast<double>(to - from);
    return s;
}

void print(const char *who, const Stats &s) {
    std::printf("  %-10s %6zu %9.4f %9.4f %9.4f %9.4f %9.4f %9.4f %7.3f\n", who, s.frames, s.mean,
                s.median, s.std_dev, s.median_dev, s.p99_dev, s.worst_dev, s.cpu_percent);
}

// The reference: one frame per period on absolute deadlines, nothing else.
struct Reference {
    int master = -1;
    int slave = -1;
    std::atomic<bool> stop{false};
    std::atomic<pid_t> tid{0};

    void open_pair() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        std::vector<char> name(kPathSize);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
            ptsname_r(master, name.data(), name.size()) != 0) {
            die("reference pseudo-terminal");
        }
        slave = open(name.data(), O_RDONLY | O_NOCTTY);
        termios tio = {};
        if (slave < 0 || tcgetattr(slave, &tio) != 0) {
            die("reference pseudo-terminal");
        }
        cfmakeraw(&tio);
        tcsetattr(slave, TCSANOW, &tio);
    }

    void run(int period_ms) {
        tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
        const char frame[kFrameSize] = {QUARN_SBUS_START_BYTE};
        timespec next = {};
        clock_gettime(CLOCK_MONOTONIC, &next);
        while (!stop.load()) {
            next.tv_nsec += static_cast<long>(period_ms) * kNanosPerMilliLong;
            while (next.tv_nsec >= kNanosPerSecond) {
                next.tv_nsec -= kNanosPerSecond;
                ++next.tv_sec;
            }
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
            }
            if (write(master, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame)) {
                return;
            }
        }
    }
};

// Starts the bridge; returns its pid and the pseudo-terminal it sends on.
pid_t start_bridge(const std::string &monitor, int period_ms, std::string &path) {
    int err[2];
    if (pipe(err) != 0) {
        die("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    const std::string period = std::to_string(period_ms);
    std::vector<std::string> args{monitor,  "--simulate",       "--sbus-out", "pty",
                                  "--json", "--sbus-period-ms", period};
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (auto &a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, monitor.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        die("cannot start " + monitor);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    std::string line;
    char c = 0;
    while (read(err[0], &c, 1) == 1 && c != '\n') {
        line += c;
    }
    close(err[0]);
    const auto at = line.find("/dev/");
    if (at == std::string::npos) {
        errno = EPROTO;
        die("quarn-monitor printed no path: '" + line + "'");
    }
    path = line.substr(at, line.find_first_of(" \n", at) - at);
    return pid;
}

bool run_period(const std::string &monitor, int period_ms, int seconds) {
    Reference reference;
    reference.open_pair();
    std::string path;
    const pid_t bridge = start_bridge(monitor, period_ms, path);
    const int bridge_fd = open(path.c_str(), O_RDONLY | O_NOCTTY);
    if (bridge_fd < 0) {
        die("cannot open " + path);
    }
    const pid_t bridge_tid = find_thread(bridge, kBridgeThread);

    std::atomic<bool> stop{false};
    std::vector<int64_t> bridge_arrivals;
    std::vector<int64_t> reference_arrivals;
    std::thread bridge_reader(read_frames, bridge_fd, std::cref(stop), std::ref(bridge_arrivals));
    std::thread reference_reader(read_frames, reference.slave, std::cref(stop),
                                 std::ref(reference_arrivals));
    std::thread sender([&] { reference.run(period_ms); });

    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUpSeconds));
    while (reference.tid.load() == 0) {
        std::this_thread::yield();
    }
    const int64_t from = now_ns();
    const int64_t bridge_cpu = thread_cpu_ns(bridge, bridge_tid);
    const int64_t reference_cpu = thread_cpu_ns(getpid(), reference.tid.load());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const int64_t to = now_ns();
    const int64_t bridge_used = thread_cpu_ns(bridge, bridge_tid) - bridge_cpu;
    const int64_t reference_used = thread_cpu_ns(getpid(), reference.tid.load()) - reference_cpu;

    kill(bridge, SIGTERM);
    waitpid(bridge, nullptr, 0);
    reference.stop.store(true);
    sender.join();
    stop.store(true);
    bridge_reader.join();
    reference_reader.join();
    close(bridge_fd);
    close(reference.master);
    close(reference.slave);

    const auto b = measure(bridge_arrivals, from, to, period_ms, bridge_used);
    const auto r = measure(reference_arrivals, from, to, period_ms, reference_used);
    std::printf("period %d ms, %d s; times in ms, CPU in %% of one core\n", period_ms, seconds);
    std::printf("  %-10s %6s %9s %9s %9s %9s %9s %9s %7s\n", "sender", "frames", "mean", "median",
                "std dev", "med |d|", "p99 |d|", "worst |d|", "CPU");
    print("bridge", b);
    print("reference", r);
    const bool ok = b.frames > 0 && std::fabs(b.median - period_ms) <= kMaxMedianOffsetMs &&
                    b.median_dev <= kMaxMedianDeviationMs &&
                    b.p99_dev <= kMaxP99OfReference * r.p99_dev && b.cpu_percent <= kMaxCpuPercent;
    std::printf("  targets (median within %.2f, med |d| <= %.1f, p99 <= %.0fx reference, CPU <= "
                "%.0f%%): %s\n\n",
                kMaxMedianOffsetMs, kMaxMedianDeviationMs, kMaxP99OfReference, kMaxCpuPercent,
                ok ? "met" : "MISSED");
    return ok;
}

} // namespace

int main(int argc, char **argv) {
    std::string monitor = "quarn-monitor";
    int seconds = kDefaultSeconds;
    bool check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--monitor" && i + 1 < argc) {
            monitor = argv[++i];
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = static_cast<int>(std::clamp(std::strtol(argv[++i], nullptr, 10), 1L, 3600L));
        } else if (arg == "--check") {
            check = true;
        } else {
            (void)std::fprintf(stderr, "usage: %s [--monitor PATH] [--seconds N] [--check]\n",
                               argv[0]);
            return 2;
        }
    }
    bool ok = true;
    for (int period : kPeriodsMs) {
        ok = run_period(monitor, period, seconds) && ok;
    }
    return check && !ok ? 1 : 0;
}
