// The SBUS bridge of quarn-monitor --sbus-out: sends the newest port values
// as SBUS frames on a fixed period, from its own thread, on the absolute
// deadlines of a timerfd (so the period does not drift and the main loop's
// work never delays a frame). A frame carries the values that arrived
// before its deadline: new values go out at the next period.
#ifndef QUARN_TOOLS_SBUS_OUT_H
#define QUARN_TOOLS_SBUS_OUT_H

#include "fd.h"

#include <QuarnInterface.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace quarn::tools {

using Clock = std::chrono::steady_clock;

// What the views show of the bridge.
struct BridgeState {
    std::string path;
    uint64_t frames_sent = 0; // since the start
    uint64_t dropped = 0;     // frames nobody read in time, dropped rather than sent late
    bool failsafe = true;     // true while sending is paused for lack of data
    std::optional<double> silent_seconds; // since the last data; none before any
};

class SbusForwarder {
  public:
    struct Settings {
        // A path, or "pty" for a new pseudo-terminal whose path is printed.
        std::string path;
        std::chrono::microseconds period{};
        std::chrono::microseconds failsafe{};
        unsigned first_port = 0; // forward ports[first_port .. first_port + 15]
        bool convert = true;     // pass through convert_std_sbus_data
        bool sbus2 = false;      // encode_sbus_data_v2 instead of v1
    };
    static constexpr const char *kPtyPath = "pty";

    // Opens the output. Throws Error (kExitOpen). A file it creates is
    // removed again if the bridge ends without having started, so that a
    // session that fails to open leaves no file behind.
    explicit SbusForwarder(Settings settings);
    SbusForwarder(const SbusForwarder &) = delete;
    SbusForwarder &operator=(const SbusForwarder &) = delete;
    SbusForwarder(SbusForwarder &&) = delete;
    SbusForwarder &operator=(SbusForwarder &&) = delete;
    ~SbusForwarder();

    // The output's path; for "pty", the path of the other end.
    const std::string &path() const;
    // Starts sending; the first deadline is one period from now.
    void start();
    // Takes the values of a decoded data frame.
    void update(const uint16_t *ports, Clock::time_point now);
    BridgeState state(Clock::time_point now) const;
    // Why the output failed, once it has.
    std::optional<std::string> failure() const;

  private:
    void run();
    // Sends the frame that is due; false once the output has failed.
    bool send(Clock::time_point now);
    // Returns how many frames it dropped.
    uint64_t drop_stale_frames();

    Settings settings_;
    Fd out_;
    bool created_ = false; // the output file is new: removed again unless sending started
    Fd pty_slave_;         // held for a pseudo-terminal output; its stale input is dropped
    std::string shown_path_;
    Fd timer_;
    std::atomic<bool> quit_{false};
    std::thread thread_;

    mutable std::mutex mutex_; // guards the fields below
    std::array<uint16_t, QUARN_PORT_COUNT> ports_{};
    std::optional<Clock::time_point> last_data_;
    uint64_t sent_ = 0;
    uint64_t dropped_ = 0;
    bool paused_ = true;
    std::optional<std::string> failure_;

    std::array<uint8_t, QUARN_SBUS_FRAME_SIZE> frame_{};
};

} // namespace quarn::tools

#endif
