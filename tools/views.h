// The three ways quarn-monitor shows a session: the live screen, a plain
// status line a second, and JSON Lines.
#ifndef QUARN_TOOLS_VIEWS_H
#define QUARN_TOOLS_VIEWS_H

#include "readings.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quarn::tools {

struct ViewSettings {
    std::string title;    // what the source is
    unsigned bar_max = 1; // the channel value that fills a bar
    bool finite = false;  // the source ends by itself (a recording, a file)
    bool replay = false;  // the source is a recording

    // What notice() said before the live screen started.
    std::vector<std::string> notices = {};
};

// Prints "quarn-monitor: <text>" on standard error, and keeps it for the
// live screen, which starts by clearing the terminal: there it stays in view
// under the title.
void notice(const std::string &text);
// The device went away or came back (--reconnect).
struct ConnectionEvent {
    const char *name = "";   // "disconnected", "connected" (the first time) or "reconnected"
    std::string reason;      // why it is away
    std::string path;        // where it is back
    double away_seconds = 0; // how long it was away
};

class View {
  public:
    View() = default;
    View(const View &) = delete;
    View &operator=(const View &) = delete;
    View(View &&) = delete;
    View &operator=(View &&) = delete;
    virtual ~View() = default;

    // After each update.
    virtual void update(const Readings & /*readings*/, Clock::time_point /*now*/) {}
    // How often show() wants to run; none for a view that only updates.
    virtual std::optional<Clock::duration> period() const {
        return std::nullopt;
    }
    virtual void show(const Readings & /*readings*/, Clock::time_point /*now*/) {}
    // The terminal changed its size.
    virtual void resized() {}
    // The device went away or came back; the readings say so as well.
    virtual void connection(const ConnectionEvent & /*event*/, const Readings & /*readings*/,
                            Clock::time_point /*now*/) {}
    // Once at the end; `source_ended` when the source ended by itself.
    virtual void finish(const Readings & /*readings*/, Clock::time_point /*now*/,
                        bool /*source_ended*/) {}
    // Whether standard output failed: a closed pipe ends the session.
    bool failed() const {
        return write_errno_ != 0;
    }
    // Why standard output failed, unless it was a closed pipe (a reader that
    // has seen enough, as `| head` has): every other failure lost output.
    std::optional<std::string> write_error() const;

  protected:
    void print(const std::string &text);

  private:
    int write_errno_ = 0;
};

// The JSON line of the readings at `now`.
std::string json_line(const Readings &readings, Clock::time_point now);

// The JSON line of a connection event.
std::string json_event_line(const ConnectionEvent &event, const Readings &readings,
                            Clock::time_point now);

// The lines of the live screen for a terminal `columns` x `rows`.
std::vector<std::string> screen_lines(const Readings &readings, const ViewSettings &settings,
                                      Clock::time_point now, size_t columns, size_t rows,
                                      const std::string &footer, bool unicode);

enum class Output { screen, plain, json };
std::unique_ptr<View> make_view(Output output, ViewSettings settings);

} // namespace quarn::tools

#endif
