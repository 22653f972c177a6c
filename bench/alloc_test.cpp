// No exported function may allocate. This executable replaces the C
// allocator and the C++ operators new and delete with counting versions that
// forward to glibc, so a call from the library (or anything it might pull in)
// is seen wherever it comes from. Counting is armed only around the library
// calls, so the test framework's own allocations do not disturb it.

#include "QuarnInterface.h"
#include "streams.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// glibc's own entry points, which the replacements forward to.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *ptr, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void *ptr);
}

namespace {

enum Family { kMalloc, kCalloc, kRealloc, kAligned, kFree, kNew, kDelete, kFamilies };
const char *const kFamilyNames[kFamilies] = {
    "malloc", "calloc", "realloc", "aligned alloc", "free", "operator new", "operator delete"};

std::atomic<bool> g_armed{false};
std::atomic<long> g_calls[kFamilies];

void count(Family f) {
    if (g_armed.load(std::memory_order_relaxed)) {
        g_calls[f].fetch_add(1, std::memory_order_relaxed);
    }
}

// Counts the allocator calls made while it is alive.
class Counting {
  public:
    Counting() {
        for (auto &c : g_calls) {
            c.store(0);
        }
        g_armed.store(true);
    }
    ~Counting() {
        stop();
    }
    static void stop() {
        g_armed.store(false);
    }
    // Empty when nothing was called; otherwise names each family and count.
    static std::string summary() {
        std::string text;
        for (int f = 0; f < kFamilies; ++f) {
            if (g_calls[f].load() != 0) {
                text +=
                    std::string(kFamilyNames[f]) + ": " + std::to_string(g_calls[f].load()) + " ";
            }
        }
        return text;
    }
    static long calls(Family f) {
        return g_calls[f].load();
    }
};

void *aligned(std::size_t alignment, std::size_t size) {
    count(kAligned);
    return __libc_memalign(alignment, size);
}

} // namespace

extern "C" {
void *malloc(std::size_t size) noexcept {
    count(kMalloc);
    return __libc_malloc(size);
}
void *calloc(std::size_t nmemb, std::size_t size) noexcept {
    count(kCalloc);
    return __libc_calloc(nmemb, size);
}
void *realloc(void *ptr, std::size_t size) noexcept {
    count(kRealloc);
    return __libc_realloc(ptr, size);
}
void free(void *ptr) noexcept {
    count(kFree);
    __libc_free(ptr);
}
void *memalign(std::size_t alignment, std::size_t size) noexcept {
    return aligned(alignment, size);
}
void *aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    return aligned(alignment, size);
}
int posix_memalign(void **memptr, std::size_t alignment, std::size_t size) noexcept {
    void *p = aligned(alignment, size);
    if (p == nullptr) {
        return ENOMEM;
    }
    *memptr = p;
    return 0;
}
}

void *operator new(std::size_t size) {
    count(kNew);
    if (void *p = __libc_malloc(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void *operator new[](std::size_t size) {
    return operator new(size);
}
void *operator new(std::size_t size, const std::nothrow_t & /*tag*/) noexcept {
    count(kNew);
    return __libc_malloc(size);
}
void *operator new[](std::size_t size, const std::nothrow_t & /*tag*/) noexcept {
    return operator new(size, std::nothrow);
}
void operator delete(void *ptr) noexcept {
    count(kDelete);
    __libc_free(ptr);
}
void operator delete[](void *ptr) noexcept {
    operator delete(ptr);
}
void operator delete(void *ptr, std::size_t /*size*/) noexcept {
    operator delete(ptr);
}
void operator delete[](void *ptr, std::size_t /*size*/) noexcept {
    operator delete(ptr);
}

// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {

using quarn_bench::Bytes;

constexpr std::size_t kChunks[] = {255, 64, 16, 1};

// Keeps the compiler from pairing up and removing the allocations below.
void *volatile g_sink;

// The counter must see allocations made anywhere in the process, including
// those glibc makes internally, or a zero below would prove nothing.
TEST(AllocationCounter, SeesEveryFamilyFromAnyModule) {
    Counting counting;
    char *copy = strdup("made by glibc");
    g_sink = copy;
    g_sink = std::realloc(copy, 64);
    std::free(g_sink);
    g_sink = std::calloc(4, 4);
    std::free(g_sink);
    g_sink = std::aligned_alloc(64, 64);
    std::free(g_sink);
    int *object = new int(1);
    g_sink = object;
    delete object;
    Counting::stop();

    EXPECT_GE(Counting::calls(kMalloc), 1) << "strdup's malloc inside glibc";
    EXPECT_EQ(Counting::calls(kRealloc), 1);
    EXPECT_EQ(Counting::calls(kCalloc), 1);
    EXPECT_EQ(Counting::calls(kAligned), 1);
    EXPECT_GE(Counting::calls(kFree), 3);
    EXPECT_EQ(Counting::calls(kNew), 1);
    EXPECT_EQ(Counting::calls(kDelete), 1);
}

// Every path through the parser: frames of each type, line noise, stray
// start bytes, bad trailers, unknown commands, oversized lengths, chunks cut
// at every size, and null outputs.
TEST(NoAllocation, StreamParser) {
    const Bytes type0 = quarn_bench::type0_stream(40);
    const Bytes type2 = quarn_bench::type2_stream(12);
    constexpr std::uint8_t kType1Payload = 1 + 2 * QUARN_PORT_COUNT;
    Bytes type1 = {QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, kType1Payload, 0,
                   QUARN_PAYLOAD_TYPE_PORTS};
    type1.resize(type1.size() + std::size_t{2} * QUARN_PORT_COUNT, 0x21);
    type1.push_back(QUARN_FRAME_TAIL);
    const Bytes odd_frames[] = {
        {QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 1, 0, 7, 0x5E},            // bad trailer
        {QUARN_FRAME_HEAD, QUARN_CMD_UPLOAD_STOP, 0, 0, QUARN_FRAME_TAIL}, // not skipped
        {QUARN_FRAME_HEAD, QUARN_CMD_UPLOAD_REQUEST, 2, 0, 1, 2, QUARN_FRAME_TAIL},
        {QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 0xF0, 1},                      // length 496
        {QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 2, 0, 0, 1, QUARN_FRAME_TAIL}, // short payload
    };
    Bytes odd;
    for (const Bytes &f : odd_frames) {
        odd.insert(odd.end(), f.begin(), f.end());
    }
    const Bytes noise = quarn_bench::noise_stream(3000);
    const Bytes stray = quarn_bench::stray_starts_stream(3000);
    const Bytes start_bytes = quarn_bench::start_bytes_stream(600);

    std::uint16_t channels[QUARN_CHANNEL_COUNT];
    std::uint16_t ports[QUARN_PORT_COUNT];
    unsigned decoded = 0;
    const Bytes *const all[] = {&type0, &type1, &type2, &odd, &noise, &stray, &start_bytes};

    Counting counting;
    for (const Bytes *s : all) {
        for (std::size_t chunk : kChunks) {
            for (std::size_t off = 0; off < s->size(); off += chunk) {
                const auto n = static_cast<std::uint8_t>(std::min(chunk, s->size() - off));
                decoded += parse_port_data(s->data() + off, n, channels, ports);
                decoded += parse_port_data(s->data() + off, n, nullptr, nullptr);
            }
        }
    }
    decoded += parse_port_data(nullptr, 1, channels, ports);
    decoded += parse_port_data(type0.data(), 0, channels, ports);
    Counting::stop();

    EXPECT_EQ(Counting::summary(), "");
    EXPECT_GT(decoded, 0U) << "the frame streams must have been decoded";
}

TEST(NoAllocation, DecodersEncodersAndCommands) {
    const auto game = quarn_bench::game_report();
    const auto compatible = quarn_bench::compatible_report();
    const auto set = quarn_bench::channel_set();
    controller_state state;
    std::uint16_t channels[QUARN_CHANNEL_COUNT];
    std::uint16_t sbus[QUARN_SBUS_CHANNEL_COUNT];
    std::uint8_t frame[QUARN_SBUS_FRAME_SIZE];
    std::uint8_t request[QUARN_UPLOAD_REQUEST_SIZE];
    std::uint8_t stop[QUARN_UPLOAD_STOP_SIZE];
    unsigned accepted = 0;

    Counting counting;
    accepted += parse_hid_game_controller_device(&state, game.data(),
                                                 QUARN_HID_GAME_CONTROLLER_REPORT_SIZE);
    accepted += parse_hid_game_controller_device(&state, game.data(),
                                                 QUARN_HID_GAME_CONTROLLER_REPORT_SIZE - 1);
    accepted +=
        parse_hid_compatible_device(channels, compatible.data(), QUARN_HID_COMPATIBLE_REPORT_SIZE);
    accepted += parse_hid_compatible_device(channels, compatible.data(),
                                            QUARN_HID_COMPATIBLE_REPORT_SIZE - 1);
    convert_std_sbus_data(sbus, set.data());
    encode_sbus_data_v1(frame, sbus);
    encode_sbus_data_v2(frame, sbus);
    encode_sbus_data_v2(nullptr, sbus);
    request_upload_port_data(request, 1, 2);
    stop_upload_port_data(stop);
    Counting::stop();

    EXPECT_EQ(Counting::summary(), "");
    EXPECT_EQ(accepted, 2U) << "one valid report of each kind";
    EXPECT_EQ(request[0], QUARN_FRAME_HEAD);
    EXPECT_EQ(stop[0], QUARN_FRAME_HEAD);
}

} // namespace
