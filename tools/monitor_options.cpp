#include "monitor_options.h"

#include "cli.h"
#include "error.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <vector>

namespace quarn::tools {
namespace {

constexpr uint64_t kMinBaud = 50;
constexpr uint64_t kMaxBaud = 4000000;
constexpr double kMaxDuration = 31536000.0; // a year
constexpr double kMaxReplaySpeed = 1000.0;
constexpr uint64_t kMaxPeriodMs = 1000;
constexpr uint64_t kMaxFailsafeMs = 60000;
constexpr size_t kMaxHexIdDigits = 4;
constexpr const char *kPortsLow = "ports-low";
constexpr const char *kPortsHigh = "ports-high";

const char *const kFooter =
    "Sources (exactly one): --port, --replay, --hid, --hid-path, --simulate, --sbus-in.\n"
    "On a terminal the monitor draws a live screen; otherwise it prints a status line a\n"
    "second; --json prints JSON Lines. docs/tools.md describes every output and format.\n"
    "A serial port is best named by its /dev/serial/by-id link, which stays the same\n"
    "whatever ttyACMn or ttyUSBn the device gets; --list shows it.\n\n"
    "Examples:\n"
    "  quarn-monitor --list\n"
    "  quarn-monitor --port /dev/serial/by-id/usb-MAKER_PRODUCT_SERIAL-if00\n"
    "  quarn-monitor --port /dev/serial/by-id/usb-MAKER_PRODUCT_SERIAL-if00 --reconnect \\\n"
    "      --record session.qrec --duration 30\n"
    "  quarn-monitor --replay session.qrec --replay-speed 4 --json\n"
    "  quarn-monitor --port /dev/serial/by-id/usb-MAKER_PRODUCT_SERIAL-if00 \\\n"
    "      --sbus-out /dev/ttyUSB1 --sbus2\n"
    "  quarn-monitor --simulate --sbus-out pty    (prints the path P of the other end)\n"
    "  quarn-monitor --sbus-in P                  (in a second terminal)\n"
    "  quarn-monitor --hid 0483:5750 --json --reconnect\n"
    "  quarn-monitor --hid-path /dev/hidraw/by-id/usb-MAKER_PRODUCT_SERIAL-if00\n"
    "      (a name the udev rule template gives; docs/tools.md, Permissions)\n\n";

bool valid_hex_id(const std::string &s) {
    return !s.empty() && s.size() <= kMaxHexIdDigits &&
           s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

CLI::Validator hid_id_validator() {
    return CLI::Validator(
        [](std::string &value) -> std::string {
            const auto colon = value.find(':');
            if (colon != std::string::npos && valid_hex_id(value.substr(0, colon)) &&
                valid_hex_id(value.substr(colon + 1))) {
                return {};
            }
            return "'" + value +
                   "' is not accepted; expected a vendor and product id in hex, VID:PID "
                   "(e.g. 0483:5750)";
        },
        "");
}

std::optional<std::array<uint8_t, 2>> parse_request(const std::string &text) {
    const auto comma = text.find(',');
    if (comma == std::string::npos) {
        return std::nullopt;
    }
    const auto first = cli::parse_whole(text.substr(0, comma));
    const auto second = cli::parse_whole(text.substr(comma + 1));
    if (!first || !second || *first > UINT8_MAX || *second > UINT8_MAX) {
        return std::nullopt;
    }
    return std::array<uint8_t, 2>{static_cast<uint8_t>(*first), static_cast<uint8_t>(*second)};
}

CLI::Validator request_validator() {
    return CLI::Validator(
        [](std::string &value) -> std::string {
            return parse_request(value)
                       ? std::string()
                       : "'" + value +
                             "' is not accepted; expected two byte values A,B, each 0 to 255 "
                             "(decimal or 0x..)";
        },
        "");
}

bool same_file(const std::string &a, const std::string &b) {
    struct stat sa = {};
    struct stat sb = {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

const std::vector<std::string> kSources{"--port",     "--replay",   "--hid",
                                        "--hid-path", "--simulate", "--sbus-in"};

// --list takes --json and nothing else.
std::optional<std::string> check_list(const CLI::App &app) {
    std::vector<std::string> names = kSources;
    for (const CLI::Option *option : app.get_options()) {
        names.push_back(option->get_name());
    }
    for (const auto &name : names) {
        if (app.count(name) != 0 && name != "--list" && name != "--json") {
            return name + " does not go with --list, which takes only --json";
        }
    }
    return std::nullopt;
}

// The checks that span several options. Returns the first problem found.
std::optional<std::string> check(const Options &o, const CLI::App &app) {
    if (o.list) {
        return check_list(app);
    }
    const std::vector<std::string> &sources = kSources;
    std::vector<std::string> given;
    for (const auto &name : sources) {
        if (app.count(name) != 0) {
            given.push_back(name);
        }
    }
    if (given.empty()) {
        return "no source given; choose one of --port, --replay, --hid, --hid-path, --simulate, "
               "--sbus-in (--list shows the devices attached)";
    }
    if (given.size() > 1) {
        return given[0] + " and " + given[1] + " both given; choose one source";
    }
    const bool serial = !o.port.empty() || o.simulate;
    const bool port_data = serial || !o.replay.empty();
    for (const char *name : {"--baud", "--request"}) {
        if (app.count(name) != 0 && !serial) {
            return std::string(name) + " applies to --port and --simulate, not to " + given[0];
        }
    }
    if (o.reconnect && o.port.empty() && o.hid_id.empty() && o.hid_path.empty()) {
        return "--reconnect applies to --port, --hid and --hid-path, not to " + given[0];
    }
    if (app.count("--replay-speed") != 0 && o.replay.empty()) {
        return "--replay-speed applies to --replay, not to " + given[0];
    }
    for (const char *name : {"--record", "--record-raw", "--sbus-out"}) {
        if (app.count(name) != 0 && !port_data) {
            return std::string(name) +
                   " works on the port-data stream (--port, --simulate, --replay), not with " +
                   given[0];
        }
    }
    if (!o.record.empty() && !o.record_raw.empty()) {
        return "--record and --record-raw both given; choose one";
    }
    const std::string &record = o.record.empty() ? o.record_raw : o.record;
    if (o.overwrite && record.empty()) {
        return "--overwrite applies to --record and --record-raw, and neither is given";
    }
    if (!record.empty() && !o.replay.empty() && same_file(record, o.replay)) {
        return "--record" + std::string(o.record.empty() ? "-raw " : " ") + record +
               " is the file being replayed; choose another file";
    }
    return std::nullopt;
}

} // namespace

std::optional<int> parse_options(int argc, char **argv, Options &o) {
    CLI::App app{"quarn-monitor: shows, records and forwards what a Quarn device sends.",
                 kMonitorProgram};
    app.footer(std::string(kFooter) + kExitCodesHelp);
    auto *source = app.add_option_group("source", "where the data comes from (exactly one)");
    source
        ->add_option("--port", o.port,
                     "serial port of the device, e.g. /dev/serial/by-id/usb-...-if00")
        ->type_name("PATH")
        ->check(cli::non_empty_path());
    source
        ->add_option("--replay", o.replay,
                     "decode a recording, timed or raw ('-' for standard input)")
        ->type_name("FILE")
        ->check(cli::non_empty_path());
    source->add_option("--hid", o.hid_id, "HID device by vendor and product id, hex VID:PID")
        ->type_name("VID:PID")
        ->check(hid_id_validator());
    source
        ->add_option("--hid-path", o.hid_path,
                     "HID device by path, e.g. /dev/hidraw/by-id/usb-...-if00")
        ->type_name("PATH")
        ->check(cli::non_empty_path());
    source->add_flag("--simulate", o.simulate,
                     "run the built-in simulated device on a pseudo-terminal");
    source
        ->add_option("--sbus-in", o.sbus_in,
                     "show the SBUS frames arriving on a serial port, pseudo-terminal or file")
        ->type_name("PATH")
        ->check(cli::non_empty_path());

    app.add_flag("--list", o.list, "list the serial ports and HID devices, likely Quarn first");
    app.add_flag("--reconnect", o.reconnect,
                 "wait for a lost or absent device (--port, --hid, --hid-path) and go on");
    app.add_option("--baud", o.baud, "serial line rate, 50 to 4000000")
        ->type_name("N")
        ->transform(cli::whole_number(kMinBaud, kMaxBaud, "a line rate in baud"))
        ->capture_default_str();
    std::string request = "0,0";
    app.add_option("--request", request, "the two request bytes of the upload request, 0 to 255")
        ->type_name("A,B")
        ->check(request_validator())
        ->capture_default_str();
    app.add_option("--replay-speed", o.replay_speed,
                   "replay a timed recording this many times faster; 0: as fast as possible")
        ->type_name("X")
        ->check(cli::decimal_number(0.0, kMaxReplaySpeed, "a speed factor"))
        ->capture_default_str();
    app.add_flag("--json", o.json, "print JSON Lines: one object per update");
    app.add_option("--duration", o.duration, "end after SECONDS")
        ->type_name("SECONDS")
        ->check(cli::decimal_number(0.001, kMaxDuration, "a duration in seconds"));
    app.add_option("--chunk-size", o.chunk,
                   "feed the decoder at most N bytes per call, 1 to 255; 1 gives one update "
                   "per data frame")
        ->type_name("N")
        ->transform(cli::whole_number(1, UINT8_MAX, "a chunk size in bytes"))
        ->capture_default_str();
    app.add_option("--bar-max", o.bar_max, "channel value that fills a bar on the live screen")
        ->type_name("N")
        ->transform(cli::whole_number(1, UINT16_MAX, "a channel value"))
        ->capture_default_str();
    app.add_option("--record", o.record, "record what arrives, with its timing, to a new FILE")
        ->type_name("FILE")
        ->check(cli::non_empty_path());
    app.add_option("--record-raw", o.record_raw, "append the bytes alone to FILE")
        ->type_name("FILE")
        ->check(cli::non_empty_path());
    app.add_flag("--overwrite", o.overwrite, "let --record or --record-raw replace FILE");

    auto *sbus = app.add_option("--sbus-out", o.sbus_out,
                                "forward 16 port values as SBUS to PATH; 'pty' makes a "
                                "pseudo-terminal and prints its path")
                     ->type_name("PATH")
                     ->check(cli::non_empty_path());
    app.add_option("--sbus-period-ms", o.sbus_period_ms,
                   "SBUS frame period, 1 to 1000 (14 normal, 7 fast)")
        ->type_name("MS")
        ->transform(cli::whole_number(1, kMaxPeriodMs, "a period in milliseconds"))
        ->capture_default_str()
        ->needs(sbus);
    std::string sbus_source = kPortsLow;
    app.add_option("--sbus-source", sbus_source, "which group of 16 port values to forward")
        ->type_name("GROUP")
        ->check(cli::one_of({kPortsLow, kPortsHigh}))
        ->capture_default_str()
        ->needs(sbus);
    app.add_flag("--sbus-raw", o.sbus_raw, "forward the values unscaled (already 0-2047)")
        ->needs(sbus);
    app.add_flag("--sbus2", o.sbus2, "use SBUS2 frames (cycling end byte)")->needs(sbus);
    app.add_option("--failsafe-ms", o.failsafe_ms,
                   "pause SBUS when no data came for this long, 1 to 60000")
        ->type_name("MS")
        ->transform(cli::whole_number(1, kMaxFailsafeMs, "a time in milliseconds"))
        ->capture_default_str()
        ->needs(sbus);

    if (auto code = cli::parse(app, argc, argv)) {
        return code;
    }
    if (auto problem = check(o, app)) {
        return cli::report_usage_error(kMonitorProgram, *problem);
    }
    o.request = *parse_request(request);
    o.sbus_ports_high = sbus_source == kPortsHigh;
    return std::nullopt;
}

} // namespace quarn::tools
