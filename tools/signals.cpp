#include "signals.h"

namespace quarn::tools {
namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_resized = 0;
volatile std::sig_atomic_t g_suspend = 0;

extern "C" void on_stop(int /*signal*/) {
    g_stop = 1;
}

// A process continued after a stop draws its screen again, as after a
// resize: whatever ran in the terminal meanwhile has drawn over it.
extern "C" void on_resize(int /*signal*/) {
    g_resized = 1;
}

extern "C" void on_suspend(int /*signal*/) {
    g_suspend = 1;
}

void handle(int signal_number, void (*handler)(int)) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(signal_number, &sa, nullptr);
}

} // namespace

void install_signal_handlers() {
    handle(SIGINT, on_stop);
    handle(SIGTERM, on_stop);
    handle(SIGWINCH, on_resize);
    handle(SIGCONT, on_resize);
    handle(SIGPIPE, SIG_IGN);
}

void catch_suspend(bool caught) {
    handle(SIGTSTP, caught ? on_suspend : SIG_DFL);
}

bool take_suspend() {
    if (g_suspend == 0) {
        return false;
    }
    g_suspend = 0;
    return true;
}

void suspend() {
    catch_suspend(false);
    (void)std::raise(SIGTSTP); // returns once the process is continued
    catch_suspend(true);
}

bool stop_requested() {
    return g_stop != 0;
}

bool take_resize() {
    if (g_resized == 0) {
        return false;
    }
    g_resized = 0;
    return true;
}

} // namespace quarn::tools
