// Fuzzes parse_port_data with two independent parser states: two file copies
// of the built library are loaded side by side, and each keeps its own static
// reassembly buffer.
//
// The input is a list of records, each a chunk with how to feed it:
//
//   +-----+-------+-------------+
//   | len | flags | len bytes   |   (the last record may be cut short)
//   +-----+-------+-------------+
//   flags bit 0: channels null     bit 1: ports null
//         bit 2: first call with null data and this len
//         bits 3-7: the second parser gets the chunk in pieces of 1 to 32
//
// Parser A gets each chunk whole (any of 0 to 255 bytes, also more than the
// space its buffer has left); parser B gets the same bytes in pieces. The
// properties checked after every chunk:
//   - nothing is written outside the 12 channels and 32 ports (guard values
//     around A's arrays; B's arrays are heap blocks of exactly that size);
//   - A's result is 1 exactly when one of B's calls for the chunk returned 1,
//     and both hold the same values: how the bytes are cut changes nothing;
//   - a call that returns 0 writes nothing; a call with null data returns 0
//     and changes nothing;
//   - after the input the parser recovers: 500 bytes without a start byte
//     and then a good frame, which must be decoded.
#include "QuarnInterface.h"
#include "fuzz_support.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using fuzz::require;

using ParseFn = decltype(&parse_port_data);

constexpr std::size_t kRecordHeader = 2;
constexpr std::uint8_t kNullChannels = 1U << 0;
constexpr std::uint8_t kNullPorts = 1U << 1;
constexpr std::uint8_t kNullDataCall = 1U << 2;
constexpr unsigned kPieceShift = 3;

constexpr std::size_t kGuardCount = 4;
constexpr std::uint16_t kGuard = 0xC3D2;
constexpr std::uint16_t kInitial = 0x1E3C;
constexpr std::size_t kMaxChunk = UINT8_MAX;
constexpr std::size_t kRecoveryBytes = QUARN_MAX_FRAME_SIZE;

// An output array with guard values on both sides.
template <std::size_t N> struct Guarded {
    std::array<std::uint16_t, kGuardCount> before;
    std::array<std::uint16_t, N> values;
    std::array<std::uint16_t, kGuardCount> after;

    Guarded() {
        before.fill(kGuard);
        values.fill(kInitial);
        after.fill(kGuard);
    }
    bool guards_intact() const {
        auto intact = [](const std::array<std::uint16_t, kGuardCount> &g) {
            return std::all_of(g.begin(), g.end(), [](std::uint16_t v) { return v == kGuard; });
        };
        return intact(before) && intact(after);
    }
};

// Set-up failures end the target at once; a message that cannot be written
// changes nothing about that, so its result is not checked.
ParseFn load_copy(const std::string &library, const std::string &copy) {
    {
        std::ifstream in(library, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
        if (!in || !out) {
            (void)std::fprintf(stderr, "cannot copy %s to %s\n", library.c_str(), copy.c_str());
            std::exit(1);
        }
    }
    void *handle = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        (void)std::fprintf(stderr, "cannot load %s: %s\n", copy.c_str(), dlerror());
        std::exit(1);
    }
    // The mapping stays when the file goes.
    unlink(copy.c_str());
    void *symbol = dlsym(handle, "parse_port_data");
    if (symbol == nullptr) {
        (void)std::fprintf(stderr, "%s has no parse_port_data\n", library.c_str());
        std::exit(1);
    }
    return reinterpret_cast<ParseFn>(symbol);
}

ParseFn parser_a;
ParseFn parser_b;

// Whatever an input left behind, the parser must recover: after 500 bytes
// that hold no start byte every start byte it retained has been judged (its
// length field and claimed trailer have arrived), so it is empty, and the
// next frame must be decoded. This also leaves the parser empty for the
// next input.
void check_recovers(ParseFn parse) {
    static const std::array<std::uint8_t, kMaxChunk> zeros{};
    for (std::size_t fed = 0; fed < kRecoveryBytes; fed += kMaxChunk) {
        const auto len = static_cast<std::uint8_t>(std::min(kMaxChunk, kRecoveryBytes - fed));
        require(parse(zeros.data(), len, nullptr, nullptr) <= 1, "result neither 0 nor 1");
    }
    // A type-0 frame: FA A5 19 00, type 0, channel k = 0x0100 + k, 5F.
    constexpr std::size_t kPayload = QUARN_TYPE0_PAYLOAD_SIZE;
    constexpr std::size_t kValues = QUARN_FRAME_HEADER_SIZE + QUARN_PAYLOAD_VALUES_OFFSET;
    std::array<std::uint8_t, QUARN_FRAME_OVERHEAD + kPayload> probe{
        QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, kPayload, 0, QUARN_PAYLOAD_TYPE_CHANNELS};
    for (std::size_t k = 0; k < QUARN_CHANNEL_COUNT; ++k) {
        probe[kValues + QUARN_VALUE_SIZE * k] = static_cast<std::uint8_t>(k);
        probe[kValues + QUARN_VALUE_SIZE * k + 1] = 1;
    }
    probe.back() = QUARN_FRAME_TAIL;
    std::array<std::uint16_t, QUARN_CHANNEL_COUNT> channels{};
    require(
        parse(probe.data(), static_cast<std::uint8_t>(probe.size()), channels.data(), nullptr) == 1,
        "no recovery: a good frame after the input was not decoded");
    for (std::size_t k = 0; k < QUARN_CHANNEL_COUNT; ++k) {
        require(channels[k] == 0x0100 + k, "no recovery: wrong values after the input");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/) {
    const char *env = std::getenv("QUARN_LIBRARY");
    const std::string library = env != nullptr ? env : QUARN_LIBRARY_PATH;
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/quarn-fuzz-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    parser_a = load_copy(library, dir + "/a.so");
    parser_b = load_copy(library, dir + "/b.so");
    rmdir(dir.c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    auto channels_a = std::make_unique<Guarded<QUARN_CHANNEL_COUNT>>();
    auto ports_a = std::make_unique<Guarded<QUARN_PORT_COUNT>>();
    std::vector<std::uint16_t> channels_b(channels_a->values.begin(), channels_a->values.end());
    std::vector<std::uint16_t> ports_b(ports_a->values.begin(), ports_a->values.end());

    std::size_t pos = 0;
    while (size - pos >= kRecordHeader) {
        const std::uint8_t len_field = data[pos];
        const std::uint8_t flags = data[pos + 1];
        pos += kRecordHeader;
        const auto len = static_cast<std::uint8_t>(std::min<std::size_t>(len_field, size - pos));
        // A block of exactly the chunk's size: a read past it is caught.
        const std::unique_ptr<std::uint8_t[]> chunk(new std::uint8_t[len]);
        std::copy(data + pos, data + pos + len, chunk.get());
        pos += len;

        std::uint16_t *ch_a = (flags & kNullChannels) != 0 ? nullptr : channels_a->values.data();
        std::uint16_t *po_a = (flags & kNullPorts) != 0 ? nullptr : ports_a->values.data();
        std::uint16_t *ch_b = (flags & kNullChannels) != 0 ? nullptr : channels_b.data();
        std::uint16_t *po_b = (flags & kNullPorts) != 0 ? nullptr : ports_b.data();
        const auto channels_before = channels_a->values;
        const auto ports_before = ports_a->values;

        if ((flags & kNullDataCall) != 0) {
            require(parser_a(nullptr, len, ch_a, po_a) == 0, "null data returned 1");
            require(channels_a->values == channels_before && ports_a->values == ports_before,
                    "null data wrote values");
        }

        const std::uint8_t result_a = parser_a(chunk.get(), len, ch_a, po_a);
        const std::size_t piece = 1 + (flags >> kPieceShift);
        std::uint8_t result_b = 0;
        for (std::size_t off = 0; off < len; off += piece) {
            const auto n = static_cast<std::uint8_t>(std::min<std::size_t>(piece, len - off));
            if (parser_b(chunk.get() + off, n, ch_b, po_b) != 0) {
                result_b = 1;
            }
        }

        require(channels_a->guards_intact(), "write outside the 12 channels");
        require(ports_a->guards_intact(), "write outside the 32 ports");
        require(result_a <= 1, "result neither 0 nor 1");
        require(result_a == result_b, "results differ between cuts");
        if (result_a == 0) {
            require(channels_a->values == channels_before && ports_a->values == ports_before,
                    "a call that decoded nothing wrote values");
        }
        require(std::equal(channels_b.begin(), channels_b.end(), channels_a->values.begin()),
                "channels differ between cuts");
        require(std::equal(ports_b.begin(), ports_b.end(), ports_a->values.begin()),
                "ports differ between cuts");
    }
    check_recovers(parser_a);
    check_recovers(parser_b);
    return 0;
}
