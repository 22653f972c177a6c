#include "signals.h"

namespace quarn::tools {
namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_resized = 0;

extern "C" void on_stop(int /*signal*/) {
    g_stop = 1;
}

extern "C" void on_resize(int /*signal*/) {
    g_resized = 1;
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
    handle(SIGPIPE, SIG_IGN);
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
