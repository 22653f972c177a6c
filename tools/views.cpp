#include "views.h"

#include "error.h"
#include "monitor_options.h"
#include "screen.h"
#include "signals.h"
#include "text.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace quarn::tools {
namespace {

using namespace std::chrono_literals;

constexpr auto kScreenPeriod = 33ms;
constexpr auto kPlainPeriod = 1s;
constexpr size_t kDefaultColumns = 80;
constexpr size_t kDefaultRows = 24;

double seconds_since(Clock::time_point start, Clock::time_point now) {
    return std::chrono::duration<double>(now - start).count();
}

std::string sbus_frame_json(const SbusFrame &f) {
    std::string out = ",\"sbus_channels\":";
    append_json_array(out, f.channels.data(), f.channels.size());
    out += format(",\"ch17\":%s,\"ch18\":%s,\"frame_lost\":%s,\"failsafe\":%s,\"end_byte\":%u",
                  json_bool(f.ch17), json_bool(f.ch18), json_bool(f.frame_lost),
                  json_bool(f.failsafe), static_cast<unsigned>(f.end_byte));
    return out;
}

// With --reconnect: how often the device came back, and how long it is away.
std::string connection_fields(const Readings &r, Clock::time_point now) {
    std::string fields;
    if (r.reconnects != 0) {
        fields += format(" reconnects=%llu", static_cast<unsigned long long>(r.reconnects));
    }
    if (r.away_since) {
        fields += format(" away_s=%.1f", seconds_since(*r.away_since, now));
    }
    return fields;
}

// One line of key=value pairs for the plain output.
std::string plain_line(const Readings &r, Clock::time_point now) {
    std::string line = format("t=%.1f", seconds_since(r.start, now));
    auto count = [&line](const char *key, uint64_t value) {
        line += format(" %s=%llu", key, static_cast<unsigned long long>(value));
    };
    auto array = [&line](const char *key, const auto &values) {
        line += format(" %s=", key);
        append_json_array(line, values.data(), values.size());
    };
    switch (r.kind) {
    case SourceKind::port_data:
        count("bytes", r.bytes);
        count("frames_decoded", r.updates);
        line += format(" rate=%.1f", r.rate);
        array("channels", r.channels);
        array("ports", r.ports);
        if (r.bridge) {
            count("sbus_frames_sent", r.bridge->frames_sent);
            line += format(" sbus_failsafe=%s", json_bool(r.bridge->failsafe));
        }
        line += connection_fields(r, now);
        break;
    case SourceKind::hid:
        count("reports", r.updates);
        count("refused", r.refused);
        line += format(" rate=%.1f", r.rate);
        if (r.hid_report == HidReport::controller) {
            line += " controller=";
            append_json_array(line, r.controller.values, QUARN_CONTROLLER_VALUE_COUNT);
        } else if (r.hid_report == HidReport::compatible) {
            array("channels", r.channels);
        }
        line += connection_fields(r, now);
        break;
    case SourceKind::sbus:
        count("bytes", r.bytes);
        count("frames", r.updates);
        count("skipped_bytes", r.skipped_bytes);
        line += format(" rate=%.1f", r.rate);
        if (r.sbus) {
            array("sbus_channels", r.sbus->channels);
            line += format(" ch17=%d ch18=%d frame_lost=%d failsafe=%d end_byte=%u",
                           r.sbus->ch17 ? 1 : 0, r.sbus->ch18 ? 1 : 0, r.sbus->frame_lost ? 1 : 0,
                           r.sbus->failsafe ? 1 : 0, static_cast<unsigned>(r.sbus->end_byte));
        }
        break;
    }
    return line + "\n";
}

class JsonView : public View {
  public:
    void update(const Readings &readings, Clock::time_point now) override {
        print(json_line(readings, now));
    }
    void connection(const ConnectionEvent &event, const Readings &readings,
                    Clock::time_point now) override {
        print(json_event_line(event, readings, now));
    }
};

class PlainView : public View {
  public:
    explicit PlainView(ViewSettings settings) : settings_(std::move(settings)) {}
    std::optional<Clock::duration> period() const override {
        return kPlainPeriod;
    }
    void show(const Readings &readings, Clock::time_point now) override {
        print(plain_line(readings, now));
    }
    void finish(const Readings &readings, Clock::time_point now, bool source_ended) override {
        print(plain_line(readings, now));
        if (source_ended) {
            print(settings_.title + ": finished\n");
        }
    }

  private:
    ViewSettings settings_;
};

std::vector<std::string> &notices() {
    static std::vector<std::string> kept;
    return kept;
}

class ScreenView : public View {
  public:
    explicit ScreenView(ViewSettings settings) : settings_(std::move(settings)) {
        (void)std::setlocale(LC_CTYPE, "");
        unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
        // The screen clears the terminal: what was said before it started
        // goes on the screen.
        settings_.notices = notices();
        catch_suspend(true);
        print(screen_begin());
    }
    ScreenView(const ScreenView &) = delete;
    ScreenView &operator=(const ScreenView &) = delete;
    ScreenView(ScreenView &&) = delete;
    ScreenView &operator=(ScreenView &&) = delete;
    ~ScreenView() override {
        catch_suspend(false);
        print(screen_end(drawn_));
    }

    std::optional<Clock::duration> period() const override {
        return kScreenPeriod;
    }
    void show(const Readings &readings, Clock::time_point now) override {
        // Ctrl-Z: the shell gets the terminal back with its cursor, below
        // the screen; after fg the screen starts again.
        if (take_suspend()) {
            print(screen_end(drawn_));
            suspend();
            print(screen_begin());
        }
        draw(readings, now, settings_.replay ? "replaying; Ctrl-C to stop" : "Ctrl-C to stop");
    }
    // Leaves the final state on the screen, with why the session ended.
    void finish(const Readings &readings, Clock::time_point now, bool source_ended) override {
        std::string footer = "stopped";
        if (source_ended) {
            footer = settings_.replay ? "replay finished" : "end of input";
        }
        draw(readings, now, footer);
    }
    // The layout may change: start from an empty screen.
    void resized() override {
        print(screen_clear());
    }

  private:
    void draw(const Readings &readings, Clock::time_point now, const std::string &footer) {
        winsize ws = {};
        size_t columns = kDefaultColumns;
        size_t rows = kDefaultRows;
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
            columns = ws.ws_col;
            rows = ws.ws_row;
        }
        const auto lines = screen_lines(readings, settings_, now, columns, rows, footer, unicode_);
        drawn_ = std::min(lines.size(), rows);
        print(render_screen(lines, columns, rows));
    }

    ViewSettings settings_;
    bool unicode_ = false;
    size_t drawn_ = 0;
};

} // namespace

void notice(const std::string &text) {
    (void)std::fprintf(stderr, "%s: %s\n", kMonitorProgram, text.c_str());
    notices().push_back(text);
}

void View::print(const std::string &text) {
    if (failed()) {
        return;
    }
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
        write_errno_ = errno != 0 ? errno : EIO;
    }
}

std::optional<std::string> View::write_error() const {
    if (write_errno_ == 0 || write_errno_ == EPIPE) {
        return std::nullopt;
    }
    return "writing standard output failed: " + errno_text(write_errno_);
}

std::string json_line(const Readings &r, Clock::time_point now) {
    std::string line = format("{\"t\":%.3f", seconds_since(r.start, now));
    switch (r.kind) {
    case SourceKind::port_data:
        line += ",\"channels\":";
        append_json_array(line, r.channels.data(), r.channels.size());
        line += ",\"ports\":";
        append_json_array(line, r.ports.data(), r.ports.size());
        line += format(",\"bytes\":%llu,\"frames_decoded\":%llu",
                       static_cast<unsigned long long>(r.bytes),
                       static_cast<unsigned long long>(r.updates));
        if (r.bridge) {
            line += format(",\"sbus\":{\"frames_sent\":%llu,\"failsafe\":%s}",
                           static_cast<unsigned long long>(r.bridge->frames_sent),
                           json_bool(r.bridge->failsafe));
        }
        break;
    case SourceKind::hid:
        if (r.hid_report == HidReport::controller) {
            line += ",\"controller\":";
            append_json_array(line, r.controller.values, QUARN_CONTROLLER_VALUE_COUNT);
        } else {
            line += ",\"channels\":";
            append_json_array(line, r.channels.data(), r.channels.size());
        }
        line += format(",\"refused\":%llu", static_cast<unsigned long long>(r.refused));
        break;
    case SourceKind::sbus:
        if (r.sbus) {
            line += sbus_frame_json(*r.sbus);
        }
        line += format(",\"skipped_bytes\":%llu", static_cast<unsigned long long>(r.skipped_bytes));
        break;
    }
    return line + "}\n";
}

std::string json_event_line(const ConnectionEvent &event, const Readings &readings,
                            Clock::time_point now) {
    std::string line =
        format("{\"event\":\"%s\",\"t\":%.3f", event.name, seconds_since(readings.start, now));
    if (!event.reason.empty()) {
        line += ",\"reason\":" + json_string(event.reason);
    }
    if (!event.path.empty()) {
        line +=
            ",\"path\":" + json_string(event.path) + format(",\"away\":%.3f", event.away_seconds);
    }
    return line + "}\n";
}

std::unique_ptr<View> make_view(Output output, ViewSettings settings) {
    switch (output) {
    case Output::screen:
        return std::make_unique<ScreenView>(std::move(settings));
    case Output::plain:
        return std::make_unique<PlainView>(std::move(settings));
    case Output::json:
        break;
    }
    return std::make_unique<JsonView>();
}

} // namespace quarn::tools
