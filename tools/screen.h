// The live terminal screen of quarn-monitor: plain ANSI escapes, redrawn in
// place from the top left corner.
#ifndef QUARN_TOOLS_SCREEN_H
#define QUARN_TOOLS_SCREEN_H

#include <cstdint>
#include <string>
#include <vector>

namespace quarn::tools {

struct Bar {
    std::string label;
    unsigned value = 0;
    unsigned max = 1; // the value that fills the bar
};

struct ScreenContent {
    std::string title;
    std::string bars_heading;
    std::vector<Bar> bars;
    const uint16_t *ports = nullptr; // QUARN_PORT_COUNT values, or null to leave them out
    std::string status;
    std::string sbus; // empty without SBUS forwarding
};

// Returns the escape sequences and text that redraw the whole screen for a
// terminal `columns` wide. With `unicode` the bars use block characters.
std::string render_screen(const ScreenContent &content, int columns, bool unicode);

// Escapes that prepare the terminal (clear, hide the cursor) and restore it.
std::string screen_begin();
std::string screen_end();

} // namespace quarn::tools

#endif
