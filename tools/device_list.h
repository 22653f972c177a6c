// quarn-monitor --list: the serial ports and HID devices attached, one line
// or one JSON object each, likely Quarn devices first, with what stands in
// the way of opening them.
#ifndef QUARN_TOOLS_DEVICE_LIST_H
#define QUARN_TOOLS_DEVICE_LIST_H

namespace quarn::tools {

// Prints the list on standard output and the advice on standard error.
// Returns the exit code: 0, also when nothing is found; 1 when standard
// output fails.
int list_devices(bool json);

} // namespace quarn::tools

#endif
