// The simulated Quarn device shared by quarn-sim and quarn-monitor --simulate.
//
// It plays the device's side of the serial link: it waits for the host's
// upload request, streams data frames with smoothly moving values until the
// stop command, and can mix in line noise. Its frame encoder follows the
// byte layouts on its own and shares no code with the library's decoder, so
// the monitor's output checks the library against an independent writer.
#ifndef QUARN_TOOLS_SIM_DEVICE_H
#define QUARN_TOOLS_SIM_DEVICE_H

#include <QuarnInterface.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace quarn::sim {

// The device's standard range: SBUS conversion maps 0..1200 onto 0..2047,
// so 600 is the centre stick position.
constexpr int kStandardMax = 1200;
constexpr int kStandardCentre = kStandardMax / 2;

struct Values {
    std::array<uint16_t, QUARN_CHANNEL_COUNT> channels{};
    std::array<uint16_t, QUARN_PORT_COUNT> ports{};
};

struct Options {
    int type = QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS;
    double rate_hz = 100.0;
    // Probability per frame of one noise event (burst, stray start byte or
    // corrupted trailer).
    double noise = 0.0;
    uint32_t seed = 1;
    // Leave run_device after the first stop command instead of waiting for
    // the next request.
    bool once = false;
};

// The values of frame n: slow sine waves, a different one per value, so the
// live screen shows every bar moving. A pure function of n and the rate.
Values values_at(uint64_t n, double rate_hz);

// Encodes one data frame (start byte, command, length, payload, trailer).
std::vector<uint8_t> encode_data_frame(int type, const Values &values);

// Produces the device's output: frame after frame, each possibly with one
// noise event. The noise is always noise that the link format can detect:
// burst bytes are never 0xFA, a stray start byte comes directly before a
// frame (so its length field reads far beyond 495), and a trailer is
// corrupted only in a frame that holds no other 0xFA. Without a checksum a
// receiver cannot survive noise that forms a plausible frame, so the
// simulator leaves that out and a receiver must lose no whole frame.
class FrameSource {
  public:
    explicit FrameSource(const Options &options);

    struct Emission {
        std::vector<uint8_t> bytes;
        uint64_t n = 0;
        bool whole = true;           // false when the frame's trailer was corrupted
        const char *noise = nullptr; // "burst", "stray-start", "bad-trailer" or none
        Values values;
    };
    Emission next();

  private:
    Options options_;
    uint64_t n_ = 0;
    std::mt19937 random_;
};

// JSON Lines log of what the device did, for tests and bug reports: every
// host command and stray host byte it received, every noise event, every
// whole frame it sent and every frame it sent damaged. A null file logs
// nothing.
class EventLog {
  public:
    explicit EventLog(std::FILE *file) : file_(file) {}
    void command(const char *kind, const std::vector<uint8_t> &bytes);
    // Logs a frame once all its bytes have been sent.
    void sent(const FrameSource::Emission &emission, int type);

  private:
    void write(const std::string &line);
    std::FILE *file_;
};

// Recognises the host's commands in the bytes the device receives.
class CommandScanner {
  public:
    struct Command {
        const char *kind; // "request", "stop", "command" (other) or "junk"
        std::vector<uint8_t> bytes;
    };
    // Appends received bytes and moves every recognised command to out.
    void feed(const uint8_t *data, size_t len, std::vector<Command> &out);

  private:
    std::vector<uint8_t> pending_;
};

// Plays the device on the master side of a pseudo-terminal (see open_pty) until quit is
// set (or, with options.once, until the first stop command). Returns 0, or
// 1 after writing a message to error when the link fails.
int run_device(int master_fd, const Options &options, EventLog &log, const std::atomic<bool> &quit,
               std::string &error);

} // namespace quarn::sim

#endif
