#include "readings.h"

#include <algorithm>

namespace quarn::tools {
namespace {

constexpr auto kRateWindow = std::chrono::seconds(1);

} // namespace

Decoder::Decoder(SourceKind kind, unsigned chunk_size, Clock::time_point start)
    : chunk_size_(chunk_size), window_start_(start) {
    readings_.kind = kind;
    readings_.start = start;
    start_new_stream();
}

void Decoder::start_new_stream() const {
    if (readings_.kind == SourceKind::port_data) {
        quarn_start_new_stream();
    }
}

void Decoder::feed(const uint8_t *data, size_t len, Clock::time_point now,
                   const OnUpdate &on_update) {
    switch (readings_.kind) {
    case SourceKind::port_data:
        feed_port_data(data, len, now, on_update);
        break;
    case SourceKind::hid:
        feed_hid(data, len, now, on_update);
        break;
    case SourceKind::sbus:
        readings_.bytes += len;
        sbus_.feed(data, len, [&](const SbusFrame &frame) {
            readings_.sbus = frame;
            readings_.skipped_bytes = sbus_.skipped_bytes();
            updated(now, on_update);
        });
        readings_.skipped_bytes = sbus_.skipped_bytes();
        break;
    }
}

void Decoder::feed_port_data(const uint8_t *data, size_t len, Clock::time_point now,
                             const OnUpdate &on_update) {
    while (len > 0) {
        const auto n = static_cast<uint8_t>(std::min<size_t>(len, chunk_size_));
        readings_.bytes += n;
        if (parse_port_data(data, n, readings_.channels.data(), readings_.ports.data()) != 0) {
            updated(now, on_update);
        }
        data += n;
        len -= n;
    }
}

void Decoder::feed_hid(const uint8_t *report, size_t len, Clock::time_point now,
                       const OnUpdate &on_update) {
    readings_.bytes += len;
    // A report longer than any decoder takes is refused without a call, as
    // the decoders' length argument is one byte.
    const auto n = static_cast<uint8_t>(std::min<size_t>(len, UINT8_MAX));
    if (len == n && parse_hid_game_controller_device(&readings_.controller, report, n) != 0) {
        readings_.hid_report = HidReport::controller;
    } else if (len == n && parse_hid_compatible_device(readings_.channels.data(), report, n) != 0) {
        readings_.hid_report = HidReport::compatible;
    } else {
        ++readings_.refused;
        return;
    }
    updated(now, on_update);
}

void Decoder::updated(Clock::time_point now, const OnUpdate &on_update) {
    ++readings_.updates;
    ++updates_in_window_;
    readings_.last_update = now;
    on_update(readings_);
}

void Decoder::finish() {
    sbus_.finish();
    readings_.skipped_bytes = sbus_.skipped_bytes();
}

void Decoder::tick(Clock::time_point now) {
    if (now - window_start_ >= kRateWindow) {
        readings_.rate = static_cast<double>(updates_in_window_) /
                         std::chrono::duration<double>(now - window_start_).count();
        updates_in_window_ = 0;
        window_start_ = now;
    }
}

} // namespace quarn::tools
