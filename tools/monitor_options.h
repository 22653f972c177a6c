// The options of quarn-monitor and their checks.
#ifndef QUARN_TOOLS_MONITOR_OPTIONS_H
#define QUARN_TOOLS_MONITOR_OPTIONS_H

#include "sim_device.h"

#include <QuarnInterface.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace quarn::tools {

constexpr const char *kMonitorProgram = "quarn-monitor";

struct Options {
    // Sources: exactly one.
    std::string port;
    std::string replay;
    std::string hid_id;
    std::string hid_path;
    std::string sbus_in;
    bool simulate = false;
    bool list = false;      // list the devices instead of monitoring one
    bool reconnect = false; // wait for a lost or absent device to come back

    unsigned baud = 115200;
    std::array<uint8_t, 2> request{0, 0};
    double replay_speed = 1.0; // 0: as fast as possible

    bool json = false;
    double duration = 0.0; // seconds; 0: until stopped
    unsigned chunk = UINT8_MAX;
    unsigned bar_max = quarn::sim::kStandardMax;

    std::string record;
    std::string record_raw;
    bool overwrite = false;

    std::string sbus_out;
    unsigned sbus_period_ms = 14;
    bool sbus_ports_high = false;
    bool sbus_raw = false;
    bool sbus2 = false;
    unsigned failsafe_ms = 100;
};

// Parses and checks the arguments. Returns nothing when the monitor goes
// on, or the exit code to end with (0 after --help, 2 after a usage error,
// which has been reported).
std::optional<int> parse_options(int argc, char **argv, Options &options);

} // namespace quarn::tools

#endif
