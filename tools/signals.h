// The signals of a monitor session: SIGINT and SIGTERM end it, SIGWINCH and
// SIGCONT redraw the screen, and SIGTSTP (Ctrl-Z), while the live screen
// catches it, lets the screen restore the terminal before the process stops.
// Helper threads never take them, so they always wake the main loop.
#ifndef QUARN_TOOLS_SIGNALS_H
#define QUARN_TOOLS_SIGNALS_H

#include <csignal>
#include <thread>
#include <utility>

namespace quarn::tools {

// Installs the handlers without SA_RESTART, so a signal wakes a waiting
// poll, and ignores SIGPIPE (a closed output is an error to handle, not a
// reason to die with the device still streaming).
void install_signal_handlers();

bool stop_requested();

// True once after each terminal resize, and after the process continued.
bool take_resize();

// Whether SIGTSTP is caught (and then reported by take_suspend) or stops
// the process at once, as by default.
void catch_suspend(bool caught);

// True once after each SIGTSTP caught.
bool take_suspend();

// Stops the process as SIGTSTP would have; returns when it is continued.
void suspend();

// Starts a thread with the session's signals blocked in it.
template <typename F> std::thread start_thread_without_signals(F &&body) {
    sigset_t session_signals;
    sigset_t previous;
    sigemptyset(&session_signals);
    sigaddset(&session_signals, SIGINT);
    sigaddset(&session_signals, SIGTERM);
    sigaddset(&session_signals, SIGWINCH);
    sigaddset(&session_signals, SIGCONT);
    sigaddset(&session_signals, SIGTSTP);
    pthread_sigmask(SIG_BLOCK, &session_signals, &previous);
    std::thread thread(std::forward<F>(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

} // namespace quarn::tools

#endif
