// quarn-monitor: shows, records and forwards what a Quarn device sends, over
// a serial port, from a recording, over HID, or from the built-in simulator;
// and shows SBUS frames arriving on a line. It uses the library only through
// its public header, like any host.
#include "device_list.h"
#include "error.h"
#include "monitor_options.h"
#include "recording.h"
#include "sbus_out.h"
#include "signals.h"
#include "sources.h"
#include "text.h"
#include "views.h"

#include <array>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace quarn::tools;
using namespace std::chrono_literals;

// The longest the loop waits, so a signal that arrives just before a wait
// is seen soon.
constexpr auto kMaxWait = 50ms;
// How often a device that is away is looked for.
constexpr auto kReconnectPeriod = 200ms;

// A line for the user on standard error.
void tell(const std::string &text) {
    (void)std::fprintf(stderr, "%s: %s\n", kMonitorProgram, text.c_str());
}

std::unique_ptr<SbusForwarder> open_bridge(const Options &o) {
    if (o.sbus_out.empty()) {
        return nullptr;
    }
    SbusForwarder::Settings s;
    s.path = o.sbus_out;
    s.period = std::chrono::milliseconds(o.sbus_period_ms);
    s.failsafe = std::chrono::milliseconds(o.failsafe_ms);
    s.first_port = o.sbus_ports_high ? QUARN_PORT_GROUP_SIZE : 0;
    s.convert = !o.sbus_raw;
    s.sbus2 = o.sbus2;
    auto bridge = std::make_unique<SbusForwarder>(s);
    if (o.sbus_out == SbusForwarder::kPtyPath) {
        notice("SBUS frames go out on " + bridge->path());
    }
    return bridge;
}

std::optional<Recorder> open_recorder(const Options &o, Clock::time_point start) {
    std::optional<Recorder> recorder;
    if (!o.record.empty()) {
        recorder.emplace(o.record, Recorder::Format::timed, o.overwrite, start);
    } else if (!o.record_raw.empty()) {
        recorder.emplace(o.record_raw, Recorder::Format::raw, o.overwrite, start);
    }
    return recorder;
}

Output choose_output(const Options &o) {
    if (o.json) {
        return Output::json;
    }
    return isatty(STDOUT_FILENO) != 0 ? Output::screen : Output::plain;
}

class Session {
  public:
    explicit Session(const Options &o)
        // Sources open first and the record file last, so a source or an
        // output that cannot be opened leaves no file behind, and the device
        // is asked to stream only once everything is open.
        : source_(open_source(o)), bridge_(open_bridge(o)), start_(Clock::now()),
          recorder_(open_recorder(o, start_)), decoder_(source_->kind(), o.chunk, start_),
          reconnect_(o.reconnect) {
        if (o.duration > 0) {
            end_ = start_ + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(o.duration));
        }
        ViewSettings settings{source_->title(), o.bar_max, source_->finite(), !o.replay.empty()};
        const Output output = choose_output(o);
        // Lines for the user would scroll the live screen away: they wait
        // until it is restored, and the screen shows the state meanwhile.
        defer_notes_ = output == Output::screen && isatty(STDERR_FILENO) != 0;
        view_ = make_view(output, settings);
    }

    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    Session(Session &&) = delete;
    Session &operator=(Session &&) = delete;
    // The lines held back for the screen come once it is restored, also when
    // the session failed.
    ~Session() {
        view_.reset();
        for (const auto &n : notes_) {
            tell(n);
        }
    }

    // Runs until the end. Throws Error.
    void run() {
        take_notes();
        if (source_->connected()) {
            source_->start();
            ever_connected_ = true;
        } else if (std::string why; !source_->reconnect(why)) {
            went_away(start_, why);
        } else {
            ever_connected_ = true;
            take_notes();
        }
        if (bridge_) {
            bridge_->start();
        }
        // A source that is lost throws out of the loop: nothing more can be
        // said to it. Any other failure still stops the device.
        const bool ended = loop();
        if (!failure_ && bridge_) {
            if (auto why = bridge_->failure()) {
                failure_ = Error(kExitFailure, *why);
            }
        }
        source_->stop();
        if (ended) {
            decoder_.finish();
        }
        const auto now = Clock::now();
        refresh_bridge(now);
        view_->finish(decoder_.readings(), now, ended);
        if (auto why = view_->write_error(); why && !failure_) {
            failure_ = Error(kExitFailure, *why);
        }
        view_.reset();
        if (failure_) {
            throw Error(failure_->exit_code(), failure_->what());
        }
        if (auto notice = source_->end_notice(); !notice.empty()) {
            notes_.push_back(notice);
        }
    }

  private:
    // Returns true when the source ended by itself.
    bool loop() {
        std::array<uint8_t, kReadBufferSize> buf{};
        auto next_show = start_;
        for (;;) {
            auto now = Clock::now();
            if (stop_requested() || failure_ || view_->failed() || (end_ && now >= *end_) ||
                (bridge_ && bridge_->failure())) {
                return false;
            }
            auto until = now + kMaxWait;
            if (view_->period()) {
                until = std::min(until, next_show);
            }
            if (end_) {
                until = std::min(until, *end_);
            }
            if (source_->connected()) {
                const Received got = read(buf.data(), buf.size(), until);
                now = Clock::now();
                if (got.new_stream) {
                    start_new_stream(now);
                }
                if (got.size > 0) {
                    take(buf.data(), got.size, now);
                }
                if (got.ended) {
                    return !stop_requested(); // a read cut short by Ctrl-C ends no source
                }
            } else {
                std::this_thread::sleep_until(std::min(until, next_attempt_));
                now = Clock::now();
                if (now >= next_attempt_) {
                    look_for_device(now);
                }
            }
            if (take_resize()) {
                view_->resized();
                next_show = now;
            }
            decoder_.tick(now);
            if (auto period = view_->period(); period && now >= next_show) {
                refresh_bridge(now);
                view_->show(decoder_.readings(), now);
                next_show = now + *period;
            }
        }
    }

    // Reads the source; a device lost with --reconnect is waited for.
    Received read(uint8_t *buf, size_t capacity, Clock::time_point until) {
        try {
            return source_->read(buf, capacity, until);
        } catch (const Lost &e) {
            if (!reconnect_) {
                throw;
            }
            went_away(Clock::now(), e.what());
            return {};
        }
    }

    void went_away(Clock::time_point now, const std::string &why) {
        Readings &r = decoder_.readings();
        r.away_since = now;
        view_->connection({"disconnected", why, "", 0}, r, now);
        note(why + "; waiting for it (Ctrl-C to stop)");
        last_why_ = why;
        next_attempt_ = now + kReconnectPeriod;
    }

    // What follows is a new stream, for the parser and for a replay of the
    // recording.
    void start_new_stream(Clock::time_point now) {
        decoder_.start_new_stream();
        if (recorder_) {
            try {
                recorder_->mark_new_stream(now);
            } catch (const Error &e) {
                failure_ = e;
            }
        }
    }

    void came_back(Clock::time_point now) {
        start_new_stream(now);
        Readings &r = decoder_.readings();
        const double away = std::chrono::duration<double>(now - *r.away_since).count();
        const bool first = !ever_connected_;
        ever_connected_ = true;
        r.away_since.reset();
        if (!first) {
            ++r.reconnects;
        }
        view_->connection({first ? "connected" : "reconnected", "", source_->where(), away}, r,
                          now);
        note(std::string(first ? "the device is there, on " : "the device is back, on ") +
             source_->where() + format(", after %.1f s", away));
        take_notes();
    }

    void look_for_device(Clock::time_point now) {
        next_attempt_ = now + kReconnectPeriod;
        std::string why;
        if (source_->reconnect(why)) {
            came_back(Clock::now());
        } else if (why != last_why_) {
            note("still waiting: " + why);
            last_why_ = why;
        }
    }

    void take_notes() {
        for (const auto &n : source_->take_notes()) {
            note(n);
        }
    }

    void note(const std::string &text) {
        if (defer_notes_) {
            notes_.push_back(text);
        } else {
            tell(text);
        }
    }

    // Records the bytes before anything else, so none is missing from a
    // recording, then decodes them.
    void take(const uint8_t *data, size_t len, Clock::time_point now) {
        if (recorder_) {
            try {
                recorder_->write(data, len, now);
            } catch (const Error &e) {
                failure_ = e;
                return;
            }
        }
        refresh_bridge(now);
        decoder_.feed(data, len, now, [&](const Readings &readings) {
            if (bridge_) {
                bridge_->update(readings.ports.data(), now);
            }
            view_->update(readings, now);
        });
    }

    void refresh_bridge(Clock::time_point now) {
        if (bridge_) {
            decoder_.readings().bridge = bridge_->state(now);
        }
    }

    std::unique_ptr<Source> source_;
    std::unique_ptr<SbusForwarder> bridge_;
    Clock::time_point start_;
    std::optional<Recorder> recorder_;
    Decoder decoder_;
    bool reconnect_;
    std::optional<Clock::time_point> end_;
    std::unique_ptr<View> view_;
    std::optional<Error> failure_;
    bool defer_notes_ = false;
    bool ever_connected_ = false;
    std::vector<std::string> notes_; // held back until the screen is restored
    Clock::time_point next_attempt_;
    std::string last_why_;
};

} // namespace

int monitor_main(int argc, char **argv) {
    Options options;
    if (auto code = parse_options(argc, argv, options)) {
        return *code;
    }
    install_signal_handlers();
    if (options.list) {
        return list_devices(options.json);
    }
    try {
        Session(options).run();
        return kExitOk;
    } catch (const Error &e) {
        (void)std::fflush(stdout);
        (void)std::fprintf(stderr, "%s: %s\n", kMonitorProgram, e.what());
        return e.exit_code();
    }
}

int main(int argc, char **argv) {
    try {
        return monitor_main(argc, argv);
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "%s: %s\n", kMonitorProgram, e.what());
        return kExitFailure;
    }
}
