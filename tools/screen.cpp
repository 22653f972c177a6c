#include "screen.h"

#include "text.h"

#include <QuarnInterface.h>

#include <algorithm>

namespace quarn::tools {
namespace {

constexpr const char *kHome = "\x1b[H";
constexpr const char *kClearLine = "\x1b[K";
constexpr const char *kClearBelow = "\x1b[J";
constexpr int kLabelColumns = 8;
constexpr int kValueColumns = 8;
constexpr int kMinBarWidth = 10;
constexpr int kMaxBarWidth = 50;
constexpr unsigned kPortsPerRow = 8;

void line(std::string &out, const std::string &text) {
    out += text;
    out += kClearLine;
    out += '\n';
}

std::string bar_line(const Bar &bar, int width, bool unicode) {
    const unsigned shown = std::min(bar.value, bar.max);
    const auto filled = static_cast<int>(
        (static_cast<unsigned long>(shown) * static_cast<unsigned>(width) + bar.max / 2) / bar.max);
    std::string text = format("  %-*s ", kLabelColumns - 3, bar.label.c_str());
    for (int i = 0; i < width; ++i) {
        text += i < filled ? (unicode ? "\u2588" : "#") : (unicode ? "\u2591" : ".");
    }
    return text + format(" %6u", bar.value);
}

void port_rows(std::string &out, const uint16_t *ports, unsigned first) {
    for (unsigned row = 0; row < QUARN_PORT_GROUP_SIZE / kPortsPerRow; ++row) {
        std::string text = " ";
        for (unsigned col = 0; col < kPortsPerRow; ++col) {
            const unsigned index = first + row * kPortsPerRow + col;
            text += format(" %2u:%5u", index + 1, static_cast<unsigned>(ports[index]));
        }
        line(out, text);
    }
}

} // namespace

std::string render_screen(const ScreenContent &content, int columns, bool unicode) {
    const int width =
        std::clamp(columns - kLabelColumns - kValueColumns, kMinBarWidth, kMaxBarWidth);
    std::string out = kHome;
    line(out, content.title);
    line(out, "");
    line(out, content.bars_heading);
    for (const auto &bar : content.bars) {
        line(out, bar_line(bar, width, unicode));
    }
    if (content.ports != nullptr) {
        line(out, "");
        line(out, "Ports 1-16 (ports-low)");
        port_rows(out, content.ports, 0);
        line(out, "Ports 17-32 (ports-high)");
        port_rows(out, content.ports, QUARN_PORT_GROUP_SIZE);
    }
    line(out, "");
    line(out, content.status);
    if (!content.sbus.empty()) {
        line(out, content.sbus);
    }
    line(out, "Ctrl-C to stop");
    out += kClearBelow;
    return out;
}

std::string screen_begin() {
    return "\x1b[2J\x1b[H\x1b[?25l";
}

std::string screen_end() {
    return "\x1b[?25h";
}

} // namespace quarn::tools
