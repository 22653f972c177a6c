#include "device_list.h"

#include "devices.h"
#include "error.h"
#include "monitor_options.h"
#include "text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace quarn::tools {
namespace {

// One JSON object, its fields in the order given; an absent value is null.
class JsonObject {
  public:
    JsonObject &text(const char *key, const std::string &value) {
        return field(key, value.empty() ? "null" : json_string(value));
    }
    JsonObject &number(const char *key, std::optional<long long> value) {
        return field(key, value ? std::to_string(*value) : "null");
    }
    JsonObject &flag(const char *key, bool value) {
        return field(key, json_bool(value));
    }
    std::string line() const {
        return json_ + "}\n";
    }

  private:
    JsonObject &field(const char *key, const std::string &value) {
        json_ += (json_.size() > 1 ? "," : "") + json_string(key) + ":" + value;
        return *this;
    }
    std::string json_ = "{";
};

// One line of fields for a person: "name value", strings quoted.
class Fields {
  public:
    Fields &add(const std::string &field) {
        line_ += (line_.empty() ? "" : "  ") + field;
        return *this;
    }
    Fields &add(const std::string &name, const std::string &value, bool quoted) {
        return value.empty() ? *this : add(name + (quoted ? json_string(value) : value));
    }
    std::string line() const {
        return line_ + "\n";
    }

  private:
    std::string line_;
};

std::optional<long long> optional_number(std::optional<unsigned> value) {
    return value ? std::optional<long long>(*value) : std::nullopt;
}

std::string serial_line(const SerialPort &p, bool access, bool json) {
    const UsbDevice usb = p.usb.value_or(UsbDevice{});
    const bool likely = likely_quarn(p);
    if (json) {
        return JsonObject()
            .text("kind", "serial")
            .text("path", p.path)
            .text("by_id", p.by_id)
            .text("bus", p.usb ? "usb" : "built-in")
            .text("vid", usb.vid)
            .text("pid", usb.pid)
            .text("manufacturer", usb.manufacturer)
            .text("product", usb.product)
            .text("serial_number", usb.serial)
            .number("interface", optional_number(usb.interface))
            .text("driver", p.driver)
            .number("latency_timer_ms", optional_number(p.latency_timer_ms))
            .flag("access", access)
            .flag("likely_quarn", likely)
            .line();
    }
    Fields f;
    f.add("serial").add(p.path).add(p.usb ? "usb " + usb.vid + ":" + usb.pid : "built-in port");
    f.add("", usb.manufacturer, true).add("", usb.product, true);
    f.add("serial-number ", usb.serial, true);
    if (usb.interface) {
        f.add("interface " + std::to_string(*usb.interface));
    }
    f.add("driver ", p.driver, false).add("by-id ", p.by_id, false);
    if (p.latency_timer_ms) {
        f.add("latency-timer " + std::to_string(*p.latency_timer_ms) + " ms");
    }
    if (!access) {
        f.add("(no access)");
    }
    if (likely) {
        f.add("[likely Quarn]");
    }
    return f.line();
}

struct HidEntry {
    HidDevice device;
    std::string by_id;
    bool likely;
};

std::string hid_line(const HidEntry &e, bool access, bool json) {
    const HidDevice &h = e.device;
    const std::string &by_id = e.by_id;
    const bool likely = e.likely;
    const std::optional<long long> interface =
        h.interface >= 0 ? std::optional<long long>(h.interface) : std::nullopt;
    if (json) {
        return JsonObject()
            .text("kind", "hid")
            .text("path", h.path)
            .text("by_id", by_id)
            .text("vid", h.vid)
            .text("pid", h.pid)
            .text("manufacturer", h.manufacturer)
            .text("product", h.product)
            .text("serial_number", h.serial)
            .number("interface", interface)
            .number("usage_page", h.usage_page)
            .number("usage", h.usage)
            .flag("access", access)
            .flag("likely_quarn", likely)
            .line();
    }
    Fields f;
    f.add("hid").add(h.path).add(h.vid + ":" + h.pid);
    f.add("", h.manufacturer, true).add("", h.product, true);
    f.add("serial-number ", h.serial, true);
    if (interface) {
        f.add("interface " + std::to_string(*interface));
    }
    f.add(format("usage-page 0x%04x usage 0x%04x", h.usage_page, h.usage));
    f.add("by-id ", by_id, false);
    if (!access) {
        f.add("(no access)");
    }
    if (likely) {
        f.add("[likely Quarn]");
    }
    return f.line();
}

std::string joined(const std::vector<std::string> &paths) {
    std::string out;
    for (const auto &p : paths) {
        out += (out.empty() ? "" : ", ") + p;
    }
    return out;
}

void advise(const std::string &text) {
    (void)std::fprintf(stderr, "%s: %s\n", kMonitorProgram, text.c_str());
}

} // namespace

int list_devices(bool json) {
    const SystemRoot root = SystemRoot::from_environment();
    const auto ports = list_serial_ports(root);
    std::vector<HidDevice> hids;
    try {
        hids = list_hid_devices();
    } catch (const Error &e) {
        advise(std::string(e.what()) + "; HID devices are not listed");
    }
    // Each with its stable name (from the udev rule template), likely Quarn
    // devices first.
    const auto links = by_id_links(root.dev() + "/hidraw/by-id");
    std::vector<HidEntry> entries;
    for (auto &h : hids) {
        const auto link = links.find(h.path.substr(h.path.rfind('/') + 1));
        HidEntry e{std::move(h), link == links.end() ? std::string() : link->second, false};
        e.likely = names_quarn({e.device.manufacturer, e.device.product, e.by_id});
        entries.push_back(std::move(e));
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const HidEntry &a, const HidEntry &b) { return a.likely && !b.likely; });

    std::string out;
    std::vector<std::string> closed_ports;
    std::vector<std::string> closed_hids;
    std::vector<std::string> slow;
    for (const auto &p : ports) {
        const bool access = may_open(p.path);
        out += serial_line(p, access, json);
        if (!access) {
            closed_ports.push_back(p.path);
        }
        if (p.latency_timer_ms && *p.latency_timer_ms > 1) {
            slow.push_back(latency_hint(root, p.name, *p.latency_timer_ms));
        }
    }
    for (const auto &e : entries) {
        const bool access = may_open(e.device.path);
        out += hid_line(e, access, json);
        if (!access) {
            closed_hids.push_back(e.device.path);
        }
    }
    errno = 0;
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0) {
        if (errno != EPIPE) {
            advise("writing standard output failed: " + errno_text(errno != 0 ? errno : EIO));
            return kExitFailure;
        }
    }

    if (ports.empty() && entries.empty()) {
        advise("no serial port or HID device found. Is the device plugged in and powered? "
               "'sudo dmesg | tail' shows what the kernel made of it, and 'ls -l /dev/ttyACM* "
               "/dev/ttyUSB* /dev/hidraw*' who may open its node (docs/tools.md, Permissions)");
    }
    if (!closed_ports.empty()) {
        advise("you may not open " + joined(closed_ports) +
               ": serial ports belong to the 'dialout' group (sudo usermod -aG dialout $USER, "
               "then log in again), or install the udev rule template " +
               kUdevTemplate);
    }
    if (!closed_hids.empty()) {
        advise("you may not open " + joined(closed_hids) +
               ": hidraw nodes are root's unless a udev rule grants access; install the udev "
               "rule template " +
               kUdevTemplate + " with your device's VID:PID");
    }
    for (const auto &text : slow) {
        advise(text);
    }
    for (const auto &text : port_grabber_notes(root)) {
        advise(text);
    }
    return kExitOk;
}

} // namespace quarn::tools
