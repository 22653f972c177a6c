// Where a monitor session's data comes from: a serial port (or the
// built-in simulator behind a pseudo-terminal), a recording, a HID device,
// or an SBUS line. The main loop treats them all alike.
#ifndef QUARN_TOOLS_SOURCES_H
#define QUARN_TOOLS_SOURCES_H

#include "monitor_options.h"
#include "readings.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quarn::tools {

struct Received {
    size_t size = 0;         // bytes placed in the buffer; one report for HID
    bool ended = false;      // the source has nothing more (end of a recording or file)
    bool new_stream = false; // a recorded reconnect: what follows is a new stream
};

class Source {
  public:
    Source() = default;
    Source(const Source &) = delete;
    Source &operator=(const Source &) = delete;
    Source(Source &&) = delete;
    Source &operator=(Source &&) = delete;
    virtual ~Source() = default;

    virtual SourceKind kind() const = 0;
    // What the screen's title names, e.g. "serial port /dev/ttyUSB0 at 115200 baud".
    virtual std::string title() const = 0;
    // Whether the source ends by itself (a recording, a file).
    virtual bool finite() const {
        return false;
    }
    // Asks the device to stream; called once every output is open, if the
    // device is connected.
    virtual void start() {}
    // Waits until data arrives or `until`, and reads it. Throws Lost when
    // the device is lost, having let go of it.
    virtual Received read(uint8_t *buf, size_t capacity, Clock::time_point until) = 0;
    // Tells the device to stop, if it is connected; called when the session
    // ends in order.
    virtual void stop() {}

    // With --reconnect: whether the device is open (it may be absent at the
    // start, or lost since).
    virtual bool connected() const {
        return true;
    }
    // Looks for the device once, and when it is there opens it and asks it to
    // stream. Returns false, with the reason in `why`, when it is not back.
    virtual bool reconnect(std::string & /*why*/) {
        return false;
    }
    // The path the device is open on.
    virtual std::string where() const {
        return {};
    }
    // What the user should know about the device once it is open (said once
    // each), e.g. a slow latency timer.
    virtual std::vector<std::string> take_notes() {
        return {};
    }
    // A line for standard error once the source has ended, or nothing.
    virtual std::string end_notice() const {
        return {};
    }
};

// The largest read a source returns; a chunk of a recording may be longer
// and is then returned in parts.
constexpr size_t kReadBufferSize = 4096;

// Opens the source the options name. Throws Error (kExitOpen).
std::unique_ptr<Source> open_source(const Options &options);

// Opens a HID device by path or by VID:PID (hid_source.cpp).
std::unique_ptr<Source> open_hid_source(const Options &options);

} // namespace quarn::tools

#endif
