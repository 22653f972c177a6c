// The HID source: one source for --hid VID:PID and --hid-path PATH. A
// VID:PID is looked up to its path, and every path is checked to be a
// hidraw device before hidapi sees it (hidapi takes any path, and crashes
// on some that are not HID devices).
#include "error.h"
#include "sources.h"
#include "text.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
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

std::string path_of_id(const std::string &id) {
    const auto colon = id.find(':');
    const auto vid = static_cast<uint16_t>(std::stoul(id.substr(0, colon), nullptr, kHexBase));
    const auto pid = static_cast<uint16_t>(std::stoul(id.substr(colon + 1), nullptr, kHexBase));
    hid_device_info *devices = hid_enumerate(vid, pid);
    if (devices == nullptr || devices->path == nullptr) {
        hid_free_enumeration(devices);
        throw Error(kExitOpen, "cannot open HID device " + id +
                                   ": no device with this id is "
                                   "attached");
    }
    std::string path = devices->path;
    hid_free_enumeration(devices);
    return path;
}

class HidSource : public Source {
  public:
    explicit HidSource(const Options &options)
        : path_(options.hid_path.empty() ? path_of_id(options.hid_id) : options.hid_path),
          name_("HID device " +
                (options.hid_id.empty() ? path_ : options.hid_id + " (" + path_ + ")")) {
        check_hidraw_path(path_);
        device_ = hid_open_path(path_.c_str());
        if (device_ == nullptr) {
            const int e = errno;
            std::string reason = narrow(hid_error(nullptr), errno_text(e));
            if (e == EACCES) {
                reason += " (hidraw nodes need a udev rule that grants your user access)";
            }
            throw Error(kExitOpen, "cannot open " + name_ + ": " + reason);
        }
    }
    HidSource(const HidSource &) = delete;
    HidSource &operator=(const HidSource &) = delete;
    HidSource(HidSource &&) = delete;
    HidSource &operator=(HidSource &&) = delete;
    ~HidSource() override {
        hid_close(device_);
    }

    SourceKind kind() const override {
        return SourceKind::hid;
    }
    std::string title() const override {
        return name_;
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
            throw Error(kExitFailure,
                        name_ + " disappeared: " + narrow(hid_error(device_), "read failed"));
        }
        return {static_cast<size_t>(n), false};
    }

  private:
    HidApi hidapi_;
    std::string path_;
    std::string name_;
    hid_device *device_ = nullptr;
};

} // namespace

std::unique_ptr<Source> open_hid_source(const Options &options) {
    return std::make_unique<HidSource>(options);
}

} // namespace quarn::tools
