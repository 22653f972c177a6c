// The HID source: one source for --hid VID:PID and --hid-path PATH. A
// VID:PID is looked up to its path, and every path is checked to be a
// hidraw device before hidapi sees it (hidapi takes any path, and crashes
// on some that are not HID devices).
#include "devices.h"
#include "error.h"
#include "sources.h"
#include "text.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace quarn::tools {
namespace {

constexpr int kHexBase = 16;
constexpr wchar_t kFirstNonAscii = 0x80;
constexpr const char *kDevicesFile = "/proc/devices";
constexpr const char *kHidrawDriver = "hidraw";

// The driver of a character device: the class its /sys entry links to, or
// else the name /proc/devices gives its major number (pseudo-terminal
// slaves, for one, have no /sys entry).
std::string driver_of(dev_t device) {
    std::error_code error;
    const auto link = std::filesystem::read_symlink(
        format("/sys/dev/char/%u:%u/subsystem", major(device), minor(device)), error);
    if (!error) {
        return link.filename().string();
    }
    std::ifstream devices(kDevicesFile);
    std::string line;
    bool character = false;
    while (std::getline(devices, line)) {
        if (line == "Character devices:") {
            character = true;
        } else if (line.empty() || line == "Block devices:") {
            character = false;
        } else if (character) {
            std::istringstream fields(line);
            unsigned number = 0;
            std::string name;
            if (fields >> number >> name && number == major(device)) {
                return name;
            }
        }
    }
    return "unknown";
}

void check_hidraw_path(const std::string &path) {
    const std::string what = "cannot open HID device " + path + ": ";
    struct stat st = {};
    if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            throw Absent(what + errno_text(errno));
        }
        throw Error(kExitOpen, what + errno_text(errno));
    }
    if (S_ISDIR(st.st_mode)) {
        throw Error(kExitOpen, what + "it is a directory, not a hidraw device");
    }
    if (S_ISREG(st.st_mode)) {
        throw Error(kExitOpen, what + "it is a regular file, not a hidraw device");
    }
    if (!S_ISCHR(st.st_mode)) {
        throw Error(kExitOpen, what + "it is not a character device, so not a hidraw device");
    }
    const std::string driver = driver_of(st.st_rdev);
    if (driver != kHidrawDriver) {
        throw Error(kExitOpen,
                    what + "it is a device of the '" + driver + "' driver, not a hidraw device");
    }
}

std::string narrow(const wchar_t *text, const std::string &fallback) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out += *text < kFirstNonAscii ? static_cast<char>(*text) : '?';
    }
    return out.empty() ? fallback : out;
}

// hidapi's library state, for as long as the source lives.
struct HidApi {
    HidApi() {
        if (hid_init() != 0) {
            throw Error(kExitOpen,
                        "cannot start hidapi: " + narrow(hid_error(nullptr), "no reason given"));
        }
    }
    HidApi(const HidApi &) = delete;
    HidApi &operator=(const HidApi &) = delete;
    HidApi(HidApi &&) = delete;
    HidApi &operator=(HidApi &&) = delete;
    ~HidApi() {
        hid_exit();
    }
};

// The devices hidapi finds, one entry per top-level usage.
class Enumeration {
  public:
    Enumeration(uint16_t vid, uint16_t pid) : first_(hid_enumerate(vid, pid)) {}
    Enumeration(const Enumeration &) = delete;
    Enumeration &operator=(const Enumeration &) = delete;
    Enumeration(Enumeration &&) = delete;
    Enumeration &operator=(Enumeration &&) = delete;
    ~Enumeration() {
        hid_free_enumeration(first_);
    }
    const hid_device_info *first() const {
        return first_;
    }

  private:
    hid_device_info *first_;
};

uint16_t hex_id(const std::string &text) {
    return static_cast<uint16_t>(std::stoul(text, nullptr, kHexBase));
}

std::string hex4(unsigned short id) {
    return format("%04x", static_cast<unsigned>(id));
}

class HidSource : public Source {
  public:
    explicit HidSource(const Options &options)
        : id_(options.hid_id), given_path_(options.hid_path),
          title_("HID device " + (id_.empty() ? given_path_ : id_)) {
        try {
            open();
            title_ = name();
        } catch (const Absent &) {
            if (!options.reconnect) {
                throw;
            }
        }
    }
    HidSource(const HidSource &) = delete;
    HidSource &operator=(const HidSource &) = delete;
    HidSource(HidSource &&) = delete;
    HidSource &operator=(HidSource &&) = delete;
    ~HidSource() override {
        close();
    }

    SourceKind kind() const override {
        return SourceKind::hid;
    }
    std::string title() const override {
        return title_;
    }
    bool connected() const override {
        return device_ != nullptr;
    }
    bool reconnect(std::string &why) override {
        try {
            open();
            return true;
        } catch (const Error &e) {
            why = e.what();
            return false;
        }
    }
    std::string where() const override {
        return path_;
    }
    Received read(uint8_t *buf, size_t capacity, Clock::time_point until) override {
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        int n = hid_read_timeout(device_, buf, capacity,
                                 static_cast<int>(std::clamp<long long>(ms, 0, INT32_MAX)));
        // A signal also fails a waiting read; a lost device fails the
        // next one too, even one that does not wait.
        if (n < 0) {
            n = hid_read_timeout(device_, buf, capacity, 0);
        }
        if (n < 0) {
            const std::string why = narrow(hid_error(device_), "read failed");
            close();
            throw Lost(name() + " disappeared: " + why);
        }
        return {static_cast<size_t>(n), false, false};
    }

  private:
    std::string name() const {
        return "HID device " + (id_.empty() ? path_ : id_ + " (" + path_ + ")");
    }

    // Finds the device (for a VID:PID, the one with the serial number it had
    // before, once it was open), checks it and opens it.
    void open() {
        path_ = id_.empty() ? given_path_ : path_of_id();
        check_hidraw_path(path_);
        device_ = hid_open_path(path_.c_str());
        if (device_ == nullptr) {
            const int e = errno;
            std::string reason = narrow(hid_error(nullptr), errno_text(e));
            if (e == EACCES) {
                reason += " (hidraw nodes need a udev rule that grants your user access: see " +
                          std::string(kUdevTemplate) + " in docs/tools.md)";
            }
            throw Error(kExitOpen, "cannot open " + name() + ": " + reason);
        }
    }

    std::string path_of_id() {
        const auto colon = id_.find(':');
        const Enumeration devices(hex_id(id_.substr(0, colon)), hex_id(id_.substr(colon + 1)));
        for (const auto *d = devices.first(); d != nullptr; d = d->next) {
            const std::string serial = narrow(d->serial_number, "");
            if (d->path != nullptr && (serial_ == std::nullopt || serial == *serial_)) {
                serial_ = serial;
                return d->path;
            }
        }
        throw Absent("cannot open HID device " + id_ + ": no device with this id" +
                     (serial_ && !serial_->empty() ? " and serial number " + *serial_ : "") +
                     " is attached");
    }

    void close() {
        if (device_ != nullptr) {
            hid_close(device_);
            device_ = nullptr;
        }
    }

    HidApi hidapi_;
    std::string id_;
    std::string given_path_;
    std::string title_;
    std::string path_;
    std::optional<std::string> serial_; // of the device a VID:PID found first
    hid_device *device_ = nullptr;
};

} // namespace

std::unique_ptr<Source> open_hid_source(const Options &options) {
    return std::make_unique<HidSource>(options);
}

std::vector<HidDevice> list_hid_devices() {
    const HidApi hidapi;
    const Enumeration devices(0, 0);
    std::vector<HidDevice> list;
    for (const auto *d = devices.first(); d != nullptr; d = d->next) {
        HidDevice h;
        h.path = d->path != nullptr ? d->path : "";
        h.vid = hex4(d->vendor_id);
        h.pid = hex4(d->product_id);
        h.manufacturer = narrow(d->manufacturer_string, "");
        h.product = narrow(d->product_string, "");
        h.serial = narrow(d->serial_number, "");
        h.interface = d->interface_number;
        h.usage_page = d->usage_page;
        h.usage = d->usage;
        list.push_back(std::move(h));
    }
    return list;
}

} // namespace quarn::tools
