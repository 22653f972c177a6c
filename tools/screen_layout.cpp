// The live screen's layouts. The full layout fits 80x24 with room to
// spare; below that the compact one drops headings and blank lines and
// fits 60x20. Every value shows as a plain integer.
#include "screen.h"
#include "text.h"
#include "views.h"

namespace quarn::tools {
namespace {

constexpr size_t kFullColumns = 80;
constexpr size_t kFullRows = 24;
constexpr size_t kMinColumns = 60;
constexpr size_t kMinRows = 20;
constexpr size_t kPortsPerRow = 8;
constexpr unsigned kSixteenBitMax = UINT16_MAX;
constexpr unsigned kTwelveBitMax = 4095;
constexpr unsigned kFourBitMax = 15;
constexpr unsigned kControllerTwelveBitFirst = 3;
constexpr unsigned kControllerTwelveBitLast = 7;
constexpr unsigned kControllerFourBit = 8;

struct Layout {
    size_t width; // usable cells: the last column stays empty
    bool full;
    bool unicode;
    std::vector<std::string> lines;

    void add(const std::string &line) {
        lines.push_back(line);
    }
    void add(const std::vector<std::string> &more) {
        lines.insert(lines.end(), more.begin(), more.end());
    }
    // Headings and blank lines, only where there is room for them.
    void heading(const std::string &text) {
        if (full) {
            add(text);
        }
    }
    void blank() {
        if (full) {
            add("");
        }
    }
    void fields(const std::vector<std::string> &items) {
        add(pack_fields(items, width));
    }
};

std::string since(const Readings &r, Clock::time_point now, const char *what) {
    if (!r.last_update) {
        return std::string("no ") + what + " yet";
    }
    return format("last %s %.3f s ago", what,
                  std::chrono::duration<double>(now - *r.last_update).count());
}

std::string count(const char *label, uint64_t value) {
    return format("%s %llu", label, static_cast<unsigned long long>(value));
}

// The status fields, first of them the device's absence (--reconnect).
std::vector<std::string> status(const Readings &r, Clock::time_point now,
                                std::vector<std::string> fields) {
    if (r.away_since) {
        fields.insert(fields.begin(),
                      format("DEVICE AWAY for %.1f s, waiting for it",
                             std::chrono::duration<double>(now - *r.away_since).count()));
    } else if (r.reconnects != 0) {
        fields.push_back(count("reconnects", r.reconnects));
    }
    return fields;
}

std::vector<Bar> channel_bars(const uint16_t *values, size_t n, unsigned max) {
    std::vector<Bar> bars;
    for (size_t k = 0; k < n; ++k) {
        bars.push_back({"CH" + std::to_string(k + 1), values[k], max});
    }
    return bars;
}

void bridge_lines(Layout &l, const BridgeState &b) {
    std::string state = "sending";
    if (b.failsafe) {
        state = b.silent_seconds ? format("FAILSAFE, no data for %.1f s", *b.silent_seconds)
                                 : "FAILSAFE, waiting for data";
    }
    std::vector<std::string> items{"SBUS out: " + state, count("frames sent", b.frames_sent)};
    if (b.dropped != 0) {
        items.push_back(count("unread", b.dropped));
    }
    items.push_back("to " + b.path);
    l.fields(items);
}

void port_data(Layout &l, const Readings &r, const ViewSettings &s, Clock::time_point now) {
    l.heading("Channels (a bar is full at " + std::to_string(s.bar_max) + ")");
    l.add(bar_columns(channel_bars(r.channels.data(), r.channels.size(), s.bar_max), l.width,
                      l.unicode));
    l.blank();
    // The compact layout leaves the group headings to the port numbers.
    l.heading("Ports 1-16 (ports-low)");
    l.add(value_grid(r.ports.data(), QUARN_PORT_GROUP_SIZE, 1, l.width, kPortsPerRow));
    l.heading("Ports 17-32 (ports-high)");
    l.add(value_grid(r.ports.data() + QUARN_PORT_GROUP_SIZE, QUARN_PORT_GROUP_SIZE,
                     QUARN_PORT_GROUP_SIZE + 1, l.width, kPortsPerRow));
    l.blank();
    l.fields(status(r, now,
                    {count("bytes", r.bytes), count("updates", r.updates),
                     format("%.1f updates/s", r.rate), since(r, now, "update")}));
    if (r.bridge) {
        bridge_lines(l, *r.bridge);
    }
}

void hid(Layout &l, const Readings &r, const ViewSettings &s, Clock::time_point now) {
    if (r.hid_report == HidReport::controller) {
        l.heading("Game controller");
        std::vector<Bar> bars;
        for (unsigned k = 0; k < QUARN_CONTROLLER_VALUE_COUNT; ++k) {
            unsigned max = kSixteenBitMax;
            if (k >= kControllerTwelveBitFirst && k <= kControllerTwelveBitLast) {
                max = kTwelveBitMax;
            } else if (k == kControllerFourBit) {
                max = kFourBitMax;
            }
            bars.push_back({"V" + std::to_string(k), r.controller.values[k], max});
        }
        l.add(bar_columns(bars, l.width, l.unicode));
    } else if (r.hid_report == HidReport::compatible) {
        l.heading("Channels (a bar is full at " + std::to_string(s.bar_max) + ")");
        l.add(bar_columns(channel_bars(r.channels.data(), r.channels.size(), s.bar_max), l.width,
                          l.unicode));
    } else {
        l.add("waiting for the first report the decoders take");
    }
    l.blank();
    l.fields(status(r, now,
                    {count("reports", r.updates), count("refused", r.refused),
                     format("%.1f reports/s", r.rate), since(r, now, "report")}));
}

void sbus(Layout &l, const Readings &r, Clock::time_point now) {
    l.heading("SBUS channels (a bar is full at " + std::to_string(QUARN_SBUS_CHANNEL_MAX) + ")");
    const SbusFrame frame = r.sbus.value_or(SbusFrame{});
    l.add(bar_columns(
        channel_bars(frame.channels.data(), frame.channels.size(), QUARN_SBUS_CHANNEL_MAX), l.width,
        l.unicode));
    l.blank();
    l.fields({format("ch17 %d", frame.ch17 ? 1 : 0), format("ch18 %d", frame.ch18 ? 1 : 0),
              format("frame lost %d", frame.frame_lost ? 1 : 0),
              format("failsafe %d", frame.failsafe ? 1 : 0),
              format("end byte %u (0x%02X)", static_cast<unsigned>(frame.end_byte),
                     static_cast<unsigned>(frame.end_byte))});
    l.fields({count("frames", r.updates), count("skipped bytes", r.skipped_bytes),
              count("bytes", r.bytes), format("%.1f frames/s", r.rate), since(r, now, "frame")});
}

} // namespace

std::vector<std::string> screen_lines(const Readings &readings, const ViewSettings &settings,
                                      Clock::time_point now, size_t columns, size_t rows,
                                      const std::string &footer, bool unicode) {
    Layout l{
        columns > 0 ? columns - 1 : 0, columns >= kFullColumns && rows >= kFullRows, unicode, {}};
    if (columns < kMinColumns || rows < kMinRows) {
        // Two short lines, so that the request fits even at 40x10.
        l.add(format("quarn-monitor: too small (%zux%zu)", columns, rows));
        l.add(format("make the terminal at least %zux%zu", kMinColumns, kMinRows));
    } else {
        l.add("quarn-monitor  " + settings.title);
    }
    l.add(settings.notices);
    l.blank();
    switch (readings.kind) {
    case SourceKind::port_data:
        port_data(l, readings, settings, now);
        break;
    case SourceKind::hid:
        hid(l, readings, settings, now);
        break;
    case SourceKind::sbus:
        sbus(l, readings, now);
        break;
    }
    l.blank();
    l.add(footer);
    return l.lines;
}

} // namespace quarn::tools
