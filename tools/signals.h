// The signals of a monitor session: SIGINT and SIGTERM end it, SIGWINCH
// redraws the screen. Helper threads never take them, so they always wake
// the main loop.
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

// True once after each terminal resize.
bool take_resize();

// Starts a thread with the session's signals blocked in it.
template <typename F> std::thread start_thread_without_signals(F &&body) {
    sigset_t session_signals;
    sigset_t previous;
    sigemptyset(&session_signals);
    sigaddset(&session_signals, SIGINT);
    sigaddset(&session_signals, SIGTERM);
    sigaddset(&session_signals, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &session_signals, &previous);
    std::thread thread(std::forward<F>(body));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return thread;
}

} // namespace quarn::tools

#endif
