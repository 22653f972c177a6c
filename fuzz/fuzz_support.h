// Shared by the fuzz targets: how a violated property is reported, and an
// output with guard bytes around it.
#ifndef QUARN_FUZZ_SUPPORT_H
#define QUARN_FUZZ_SUPPORT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

// The process aborts right after: a failed write of the message changes
// nothing, and libFuzzer reports the crash and keeps the input either way.
[[noreturn]] inline void fail(const char *what) {
    (void)std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline void require(bool ok, const char *what) {
    if (!ok) {
        fail(what);
    }
}

constexpr std::uint8_t kFill = 0xCC;
constexpr std::size_t kGuardBytes = 8;

// An output with guard bytes on both sides, everything filled with kFill.
template <typename T> struct Guarded {
    std::uint8_t before[kGuardBytes];
    T value;
    std::uint8_t after[kGuardBytes];

    Guarded() {
        std::memset(this, kFill, sizeof(*this));
    }
    bool untouched() const {
        const auto *bytes = reinterpret_cast<const std::uint8_t *>(this);
        return std::all_of(bytes, bytes + sizeof(*this), [](std::uint8_t b) { return b == kFill; });
    }
    bool guards_intact() const {
        auto filled = [](const std::uint8_t *g) {
            return std::all_of(g, g + kGuardBytes, [](std::uint8_t b) { return b == kFill; });
        };
        return filled(before) && filled(after);
    }
};

} // namespace fuzz

#endif
