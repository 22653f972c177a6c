#include "screen.h"

#include "text.h"

#include <algorithm>

namespace quarn::tools {
namespace {

constexpr const char *kClearLine = "\x1b[K";
constexpr const char *kClearBelow = "\x1b[J";
constexpr const char *kFullBlock = "\u2588";
constexpr const char *kLightShade = "\u2591";
constexpr unsigned char kUtf8ContinuationMask = 0xC0;
constexpr unsigned char kUtf8Continuation = 0x80;
constexpr const char *kColumnGap = "   ";
constexpr size_t kValueDigits = 5; // 65535
constexpr size_t kMaxBarWidth = 50;
constexpr size_t kNumberDigits = 2; // value numbers 1 to 32
constexpr const char *kFieldSeparator = " | ";

bool starts_character(char c) {
    return (static_cast<unsigned char>(c) & kUtf8ContinuationMask) != kUtf8Continuation;
}

std::string cursor_to(size_t row) {
    return format("\x1b[%zu;1H", row);
}

} // namespace

size_t cell_width(const std::string &text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), starts_character));
}

std::string clip(const std::string &text, size_t cells) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (starts_character(text[i]) && seen++ == cells) {
            return text.substr(0, i);
        }
    }
    return text;
}

std::string bar(unsigned value, unsigned max, size_t width, bool unicode) {
    const unsigned shown = std::min(value, max);
    const auto filled =
        static_cast<size_t>((static_cast<unsigned long long>(shown) * width + max / 2) / max);
    std::string text;
    for (size_t i = 0; i < width; ++i) {
        text += i < filled ? (unicode ? kFullBlock : "#") : (unicode ? kLightShade : ".");
    }
    return text;
}

std::vector<std::string> bar_columns(const std::vector<Bar> &bars, size_t width, bool unicode) {
    size_t label_width = 0;
    for (const auto &b : bars) {
        label_width = std::max(label_width, b.label.size());
    }
    const size_t gap = cell_width(kColumnGap);
    const size_t column = width > gap ? (width - gap) / 2 : 0;
    const size_t fixed = label_width + 1 + 1 + kValueDigits; // "label bar value"
    const size_t bar_width = std::min(column > fixed ? column - fixed : 0, kMaxBarWidth);
    auto cell = [&](const Bar &b) {
        return format("%-*s ", static_cast<int>(label_width), b.label.c_str()) +
               bar(b.value, b.max, bar_width, unicode) +
               format(" %*u", static_cast<int>(kValueDigits), b.value);
    };
    const size_t rows = (bars.size() + 1) / 2;
    std::vector<std::string> lines;
    for (size_t r = 0; r < rows; ++r) {
        std::string line = cell(bars[r]);
        if (r + rows < bars.size()) {
            line += kColumnGap + cell(bars[r + rows]);
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> value_grid(const uint16_t *values, size_t count, unsigned first_number,
                                    size_t width, size_t per_row) {
    const size_t cell = 1 + kNumberDigits + 1 + kValueDigits; // " 17:  600"
    per_row = std::clamp<size_t>(width / cell, 1, per_row);
    std::vector<std::string> lines;
    for (size_t i = 0; i < count; i += per_row) {
        std::string line;
        for (size_t k = i; k < std::min(count, i + per_row); ++k) {
            line += format(" %*u:%*u", static_cast<int>(kNumberDigits),
                           first_number + static_cast<unsigned>(k), static_cast<int>(kValueDigits),
                           values[k]);
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> pack_fields(const std::vector<std::string> &fields, size_t width) {
    std::vector<std::string> lines;
    for (const auto &field : fields) {
        if (!lines.empty() &&
            cell_width(lines.back()) + cell_width(kFieldSeparator) + cell_width(field) <= width) {
            lines.back() += kFieldSeparator + field;
        } else {
            lines.push_back(field);
        }
    }
    return lines;
}

std::string render_screen(const std::vector<std::string> &lines, size_t columns, size_t rows) {
    const size_t usable = columns > 0 ? columns - 1 : 0;
    std::string out;
    const size_t shown = std::min(lines.size(), rows);
    for (size_t r = 0; r < shown; ++r) {
        out += cursor_to(r + 1) + clip(lines[r], usable) + kClearLine;
    }
    if (shown < rows) {
        out += cursor_to(shown + 1) + kClearBelow;
    }
    return out;
}

std::string screen_begin() {
    return "\x1b[2J\x1b[H\x1b[?25l";
}

std::string screen_clear() {
    return "\x1b[2J";
}

std::string screen_end(size_t drawn) {
    return cursor_to(std::max<size_t>(drawn, 1)) + "\r\n\x1b[?25h";
}

} // namespace quarn::tools
