// The live terminal screen: pieces of text measured in cells, and a frame
// of lines drawn in place by cursor address, so that nothing scrolls or
// wraps whatever the terminal's size.
#ifndef QUARN_TOOLS_SCREEN_H
#define QUARN_TOOLS_SCREEN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quarn::tools {

// Cells that text takes on the screen. Every character the screen draws
// (ASCII and the two bar blocks) takes one cell.
size_t cell_width(const std::string &text);

// Text cut to at most `cells` cells.
std::string clip(const std::string &text, size_t cells);

// A bar `width` cells wide, filled in proportion to value / max.
std::string bar(unsigned value, unsigned max, size_t width, bool unicode);

struct Bar {
    std::string label;
    unsigned value = 0;
    unsigned max = 1; // the value that fills the bar
};

// Bars in two columns, filling the left one first, within `width` cells.
std::vector<std::string> bar_columns(const std::vector<Bar> &bars, size_t width, bool unicode);

// Values labelled with their 1-based number ("17:  600"), as many to a row
// as fit in `width` cells, at most `per_row`.
std::vector<std::string> value_grid(const uint16_t *values, size_t count, unsigned first_number,
                                    size_t width, size_t per_row);

// Joins fields with " | " into as few lines of at most `width` cells as
// they fit; a field is never split.
std::vector<std::string> pack_fields(const std::vector<std::string> &fields, size_t width);

// The escapes and text that draw `lines` from the top left corner of a
// terminal `columns` x `rows`: one row per line, each cut to columns - 1
// cells (the last column is never written, so no terminal wraps), lines
// beyond the last row left out, and the rest of the screen cleared.
std::string render_screen(const std::vector<std::string> &lines, size_t columns, size_t rows);

// Escapes that prepare the terminal (clear, hide the cursor), clear it
// again after a resize, and restore it below `drawn` rows at the end.
std::string screen_begin();
std::string screen_clear();
std::string screen_end(size_t drawn);

} // namespace quarn::tools

#endif
