#include "devices.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <unistd.h>

namespace quarn::tools {
namespace {

namespace fs = std::filesystem;

constexpr const char *kRootVariable = "QUARN_SYSTEM_ROOT";
// A serial-core port whose UART is absent has type 0 (PORT_UNKNOWN).
constexpr const char *kNoUart = "0";
constexpr const char *kQuarn = "quarn";

// The first line of a sysfs attribute, or nothing when it is absent.
std::optional<std::string> attribute(const fs::path &file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())) != 0) {
        line.pop_back();
    }
    return line;
}

std::optional<unsigned> number(const std::optional<std::string> &text, int base) {
    if (!text || text->empty()) {
        return std::nullopt;
    }
    char *end = nullptr;
    const unsigned long value = std::strtoul(text->c_str(), &end, base);
    if (end == nullptr || *end != '\0' || value > UINT32_MAX) {
        return std::nullopt;
    }
    return static_cast<unsigned>(value);
}

// The name a symlink leads to, e.g. the driver or subsystem of a device.
std::string link_name(const fs::path &link) {
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    return error ? std::string() : target.filename().string();
}

// The USB device above a device directory of sysfs, and the interface on the
// way up to it.
std::optional<UsbDevice> usb_device_above(const fs::path &device, const fs::path &top) {
    std::optional<unsigned> interface;
    for (fs::path dir = device; dir != top && dir.has_relative_path(); dir = dir.parent_path()) {
        if (!interface) {
            interface = number(attribute(dir / "bInterfaceNumber"), 16);
        }
        if (auto vid = attribute(dir / "idVendor")) {
            UsbDevice usb;
            usb.vid = *vid;
            usb.pid = attribute(dir / "idProduct").value_or("");
            usb.manufacturer = attribute(dir / "manufacturer").value_or("");
            usb.product = attribute(dir / "product").value_or("");
            usb.serial = attribute(dir / "serial").value_or("");
            usb.interface = interface;
            return usb;
        }
    }
    return std::nullopt;
}

std::optional<SerialPort> describe(const SystemRoot &root, const std::string &name,
                                   const std::map<std::string, std::string> &by_id) {
    const fs::path tty = fs::path(root.sys()) / "class" / "tty" / name;
    std::error_code error;
    const fs::path device = fs::canonical(tty / "device", error);
    if (error || attribute(tty / "type") == kNoUart) {
        return std::nullopt; // virtual, or a placeholder with no UART
    }
    SerialPort port;
    port.name = name;
    port.path = (fs::path(root.dev()) / name).string();
    const auto link = by_id.find(name);
    port.by_id = link == by_id.end() ? std::string() : link->second;
    port.driver = link_name(device / "driver");
    port.usb = usb_device_above(device, fs::canonical(fs::path(root.sys()), error));
    port.latency_timer_ms = latency_timer_ms(root, name);
    return port;
}

fs::path latency_timer_file(const SystemRoot &root, const std::string &tty) {
    return fs::path(root.sys()) / "bus" / "usb-serial" / "devices" / tty / "latency_timer";
}

bool same_usb_device(const UsbDevice &a, const UsbDevice &b) {
    return a.vid == b.vid && a.pid == b.pid && a.serial == b.serial && a.interface == b.interface;
}

} // namespace

bool likely_quarn(const SerialPort &p) {
    return p.usb && names_quarn({p.usb->manufacturer, p.usb->product, p.by_id});
}

SystemRoot SystemRoot::from_environment() {
    const char *root = std::getenv(kRootVariable);
    std::string prefix = root != nullptr ? root : "";
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    return SystemRoot(prefix);
}

std::map<std::string, std::string> by_id_links(const std::string &directory) {
    std::map<std::string, std::string> links;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(directory, error)) {
        const std::string node = link_name(entry.path());
        if (!node.empty()) {
            links.emplace(node, entry.path().string());
        }
    }
    return links;
}

std::vector<SerialPort> list_serial_ports(const SystemRoot &root) {
    const auto by_id = by_id_links(root.dev() + "/serial/by-id");
    std::set<std::string> names;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(root.sys() + "/class/tty", error)) {
        names.insert(entry.path().filename().string());
    }
    std::vector<SerialPort> ports;
    for (const auto &name : names) {
        if (auto port = describe(root, name, by_id)) {
            ports.push_back(std::move(*port));
        }
    }
    // Names sort as numbers within a kind, so ttyACM2 comes before ttyACM10.
    auto key = [](const SerialPort &p) {
        const auto digits = p.name.find_first_of("0123456789");
        const std::string stem = p.name.substr(0, digits);
        return std::make_tuple(!likely_quarn(p), !p.usb, stem, p.name.size(), p.name);
    };
    std::stable_sort(ports.begin(), ports.end(),
                     [&key](const SerialPort &a, const SerialPort &b) { return key(a) < key(b); });
    return ports;
}

std::optional<std::string> node_name(const std::string &path) {
    std::error_code error;
    const fs::path node = fs::canonical(path, error);
    return error ? std::nullopt : std::optional<std::string>(node.filename().string());
}

std::optional<SerialPort> find_serial_port(const SystemRoot &root, const std::string &path) {
    const auto name = node_name(path);
    return name ? describe(root, *name, by_id_links(root.dev() + "/serial/by-id")) : std::nullopt;
}

std::vector<std::string> find_again(const SystemRoot &root, const SerialPort &was,
                                    const std::string &given) {
    std::vector<std::string> found;
    if (auto now = find_serial_port(root, given);
        now && now->usb && was.usb && same_usb_device(*now->usb, *was.usb)) {
        found.push_back(given);
    }
    std::vector<std::string> same_ids;
    for (const auto &port : list_serial_ports(root)) {
        if (!was.by_id.empty() && port.by_id == was.by_id) {
            found.push_back(port.path);
        } else if (port.usb && was.usb && same_usb_device(*port.usb, *was.usb)) {
            same_ids.push_back(port.path);
        }
    }
    if (!was.usb || !was.usb->serial.empty() || same_ids.size() == 1) {
        found.insert(found.end(), same_ids.begin(), same_ids.end());
    }
    return found;
}

std::optional<unsigned> latency_timer_ms(const SystemRoot &root, const std::string &name) {
    return number(attribute(latency_timer_file(root, name)), 10);
}

std::string latency_hint(const SystemRoot &root, const std::string &name, unsigned ms) {
    return "the latency timer of " + name + " is " + std::to_string(ms) +
           " ms, so received bytes may wait that long before the host sees them; lower it "
           "to 1 ms with: echo 1 | sudo tee " +
           latency_timer_file(root, name).string() +
           " (until it is unplugged), or for good with the udev rule template " + kUdevTemplate +
           " (docs/tools.md)";
}

std::vector<std::string> port_grabber_notes(const SystemRoot &root) {
    std::set<std::string> running;
    std::error_code error;
    for (const auto &entry : fs::directory_iterator(fs::path(root.proc()), error)) {
        const std::string pid = entry.path().filename().string();
        if (pid.find_first_not_of("0123456789") == std::string::npos) {
            if (auto comm = attribute(entry.path() / "comm")) {
                running.insert(*comm);
            }
        }
    }
    std::vector<std::string> notes;
    if (running.count("ModemManager") != 0) {
        notes.emplace_back("ModemManager is running: it opens new USB serial ports and sends them "
                           "modem commands. The udev rule template keeps it away from the device "
                           "(ENV{ID_MM_DEVICE_IGNORE}=\"1\"); or stop it: sudo systemctl stop "
                           "ModemManager");
    }
    if (running.count("brltty") != 0) {
        notes.emplace_back("brltty is running: it takes USB serial adapters that it mistakes for "
                           "braille displays. Without a braille display, remove it: sudo apt "
                           "remove brltty");
    }
    return notes;
}

bool may_open(const std::string &path) {
    return faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
}

bool names_quarn(const std::vector<std::string> &strings) {
    return std::any_of(strings.begin(), strings.end(), [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        return s.find(kQuarn) != std::string::npos;
    });
}

} // namespace quarn::tools
