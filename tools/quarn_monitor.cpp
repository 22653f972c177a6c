// quarn-monitor: shows, records and forwards what a Quarn device sends, over
// a serial port, from a recording, over HID, or from the built-in simulator;
// and shows SBUS frames arriving on a line. It uses the library only through
// its public header, like any host.
#include "error.h"
#include "monitor_options.h"
#include "recording.h"
#include "sbus_out.h"
#include "signals.h"
#include "sources.h"
#include "views.h"

#include <array>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <unistd.h>

namespace {

using namespace quarn::tools;
using namespace std::chrono_literals;

// The longest the loop waits, so a signal that arrives just before a wait
// is seen soon.
constexpr auto kMaxWait = 50ms;

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
        (void)std::fprintf(stderr, "%s: SBUS frames go out on %s\n", kMonitorProgram,
                           bridge->path().c_str());
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
          recorder_(open_recorder(o, start_)), decoder_(source_->kind(), o.chunk, start_) {
        if (o.duration > 0) {
            end_ = start_ + std::chrono::duration_cast<Clock::duration>(
                                std::chrono::duration<double>(o.duration));
        }
        ViewSettings settings{source_->title(), o.bar_max, source_->finite(), !o.replay.empty()};
        view_ = make_view(choose_output(o), settings);
    }

    // Runs until the end; returns the line to print once the screen is
    // restored, if any. Throws Error.
    std::string run() {
        source_->start();
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
        return source_->end_notice();
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
            const Received got = source_->read(buf.data(), buf.size(), until);
            now = Clock::now();
            if (got.size > 0) {
                take(buf.data(), got.size, now);
            }
            if (got.ended) {
                return !stop_requested(); // a read cut short by Ctrl-C ends no source
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
    std::optional<Clock::time_point> end_;
    std::unique_ptr<View> view_;
    std::optional<Error> failure_;
};

} // namespace

int monitor_main(int argc, char **argv) {
    Options options;
    if (auto code = parse_options(argc, argv, options)) {
        return *code;
    }
    install_signal_handlers();
    try {
        std::string notice;
        {
            Session session(options);
            notice = session.run();
        }
        if (!notice.empty()) {
            (void)std::fprintf(stderr, "%s: %s\n", kMonitorProgram, notice.c_str());
        }
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
