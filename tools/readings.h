// What a monitor session has decoded so far, and the decoder that feeds it
// from what a source read: port data through parse_port_data, HID reports
// through the two report decoders, SBUS frames through the SBUS receiver.
#ifndef QUARN_TOOLS_READINGS_H
#define QUARN_TOOLS_READINGS_H

#include "sbus_in.h"
#include "sbus_out.h"

#include <QuarnInterface.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace quarn::tools {

enum class SourceKind { port_data, hid, sbus };
enum class HidReport { none, controller, compatible };

struct Readings {
    SourceKind kind = SourceKind::port_data;
    Clock::time_point start;
    uint64_t bytes = 0;   // received since the start (HID: report bytes)
    uint64_t updates = 0; // decoder calls that returned 1, reports decoded, SBUS frames
    double rate = 0.0;    // updates per second over the last second
    std::optional<Clock::time_point> last_update;

    std::array<uint16_t, QUARN_CHANNEL_COUNT> channels{}; // port data, compatible report
    std::array<uint16_t, QUARN_PORT_COUNT> ports{};       // port data

    HidReport hid_report = HidReport::none; // the last report decoded
    controller_state controller{};
    uint64_t refused = 0; // HID reports neither decoder took

    std::optional<SbusFrame> sbus; // the last SBUS frame received
    uint64_t skipped_bytes = 0;    // SBUS input bytes that belonged to no frame

    std::optional<BridgeState> bridge; // with --sbus-out

    // With --reconnect: since when the device is away, and how often it came back.
    std::optional<Clock::time_point> away_since;
    uint64_t reconnects = 0;
};

class Decoder {
  public:
    using OnUpdate = std::function<void(const Readings &)>;

    // chunk_size: the most bytes per parse_port_data call. Port data starts
    // as a new stream.
    Decoder(SourceKind kind, unsigned chunk_size, Clock::time_point start);

    // A new connection begins: the parser drops what it kept of the last one,
    // so that no frame is made of bytes from both. (The parser's state is the
    // library's, not this object's.)
    void start_new_stream() const;

    // Feeds what the source read (one HID report at a time); calls
    // on_update after each update, with the readings as they are then.
    void feed(const uint8_t *data, size_t len, Clock::time_point now, const OnUpdate &on_update);
    // The input ended: bytes of an unfinished SBUS frame count as skipped.
    void finish();
    // Keeps the update rate current.
    void tick(Clock::time_point now);

    Readings &readings() {
        return readings_;
    }
    const Readings &readings() const {
        return readings_;
    }

  private:
    void updated(Clock::time_point now, const OnUpdate &on_update);
    void feed_port_data(const uint8_t *data, size_t len, Clock::time_point now,
                        const OnUpdate &on_update);
    void feed_hid(const uint8_t *report, size_t len, Clock::time_point now,
                  const OnUpdate &on_update);

    unsigned chunk_size_;
    Readings readings_;
    SbusReceiver sbus_;
    uint64_t updates_in_window_ = 0;
    Clock::time_point window_start_;
};

} // namespace quarn::tools

#endif
