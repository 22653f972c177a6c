// What the system says about the devices attached: serial ports from sysfs
// (with their USB ids and strings, their stable /dev/serial/by-id names and
// the FTDI latency timer), whether the user may open a device node, and the
// programs known to grab serial ports. Everything is read below one root
// directory, QUARN_SYSTEM_ROOT ("/" when unset), so that the tests can build a
// fake system: its sys/, dev/ and proc/ stand for /sys, /dev and /proc.
#ifndef QUARN_TOOLS_DEVICES_H
#define QUARN_TOOLS_DEVICES_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quarn::tools {

// Where the tools kits install the udev rule template, below their prefix.
inline constexpr const char *kUdevTemplate = "share/quarninterface/udev/72-quarninterface.rules";

class SystemRoot {
  public:
    // The root QUARN_SYSTEM_ROOT names, or "/".
    static SystemRoot from_environment();

    std::string sys() const {
        return prefix_ + "/sys";
    }
    std::string dev() const {
        return prefix_ + "/dev";
    }
    std::string proc() const {
        return prefix_ + "/proc";
    }

  private:
    explicit SystemRoot(std::string prefix) : prefix_(std::move(prefix)) {}
    std::string prefix_; // the root without its trailing slash: empty for "/"
};

// A USB device as its descriptors name it; strings are empty when it has none.
struct UsbDevice {
    std::string vid; // 4 hex digits, as sysfs writes them
    std::string pid;
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::optional<unsigned> interface; // of the function the node belongs to
};

struct SerialPort {
    std::string name;   // the kernel's, e.g. ttyACM0
    std::string path;   // the node, e.g. /dev/ttyACM0
    std::string by_id;  // its /dev/serial/by-id link, or empty
    std::string driver; // e.g. cdc_acm, ftdi_sio; empty when unknown
    std::optional<UsbDevice> usb;
    std::optional<unsigned> latency_timer_ms; // FTDI and alike only
};

// Every serial port with a device behind it: USB ones, and built-in ones
// whose UART is present (a serial-core port of type 0 has none). Likely Quarn
// devices first, then USB before built-in ports, then by name.
std::vector<SerialPort> list_serial_ports(const SystemRoot &root);

// The port that a path leads to through its links, if sysfs knows it.
std::optional<SerialPort> find_serial_port(const SystemRoot &root, const std::string &path);

// Where the same USB device may be now, best first: the path given when it
// leads to that device; the port with the same by-id name; the ports with the
// same USB ids, serial number and interface (without a serial number, only
// when one port has them: two devices of a kind cannot be told apart then).
// Empty when it is not attached.
std::vector<std::string> find_again(const SystemRoot &root, const SerialPort &was,
                                    const std::string &given);

// The name of the node a path leads to through its links (the kernel's name
// of a tty, e.g. ttyUSB0), or nothing when the path leads nowhere.
std::optional<std::string> node_name(const std::string &path);

// The latency timer of a tty in milliseconds, where its driver has one.
std::optional<unsigned> latency_timer_ms(const SystemRoot &root, const std::string &name);

// The sentence that says how to lower a latency timer above 1 ms.
std::string latency_hint(const SystemRoot &root, const std::string &name, unsigned ms);

// The links of a by-id directory, keyed by the name of the node each leads to.
std::map<std::string, std::string> by_id_links(const std::string &directory);

// Running programs that are known to open USB serial ports of their own
// accord: ModemManager and brltty. Each with what to do about it.
std::vector<std::string> port_grabber_notes(const SystemRoot &root);

// Whether the user may read and write a device node.
bool may_open(const std::string &path);

// Whether strings a device gives name it as a Quarn device.
bool names_quarn(const std::vector<std::string> &strings);

// Whether a port's USB strings or by-id name say it is a Quarn device.
bool likely_quarn(const SerialPort &port);

// A HID device as hidapi lists it; strings are empty when it has none.
struct HidDevice {
    std::string path;
    std::string vid; // 4 hex digits
    std::string pid;
    std::string manufacturer;
    std::string product;
    std::string serial;
    int interface = -1; // -1 when not USB
    unsigned usage_page = 0;
    unsigned usage = 0;
};

// Every HID device, one entry per top-level usage (hid_source.cpp, on
// hidapi). Throws Error (kExitOpen) when hidapi cannot start.
std::vector<HidDevice> list_hid_devices();

} // namespace quarn::tools

#endif
