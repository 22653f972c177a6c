// Stream stress: megabytes of good frames of every kind mixed with noise, bad
// trailers, stray start bytes with every kind of length, truncated frames and
// short frames, fed to the parser in random chunks. After every call the
// result and both arrays must match the frames that have been decided by then.
//
// The stream is built so that its expected output follows from its layout:
// no 0xFA and no 0x5F inside good payloads or values, and no stray start with
// command 0xA5 or 0xE5 and a length that fits ever has a 0x5F at its claimed
// trailer position (without a checksum such a stray would be a frame). A good
// frame is then decoded as soon as it has arrived and every start byte before
// it can be judged: a start byte is judged once its length field has arrived
// and, when that length fits in the buffer, its claimed trailer.
#include "QuarnInterface.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Channels = std::array<std::uint16_t, QUARN_CHANNEL_COUNT>;
using Ports = std::array<std::uint16_t, QUARN_PORT_COUNT>;

constexpr std::uint8_t kHead = QUARN_FRAME_HEAD;
constexpr std::uint8_t kTail = QUARN_FRAME_TAIL;
constexpr std::uint8_t kData = QUARN_CMD_PORT_DATA;
constexpr std::uint8_t kRequest = QUARN_CMD_UPLOAD_REQUEST;
constexpr std::uint8_t kStop = QUARN_CMD_UPLOAD_STOP;
constexpr std::size_t kHeader = QUARN_FRAME_HEADER_SIZE;
constexpr std::size_t kMaxPayload = QUARN_MAX_PAYLOAD_SIZE;
constexpr std::size_t kMaxFrame = QUARN_MAX_FRAME_SIZE;
constexpr std::size_t kMaxChunk = UINT8_MAX;
constexpr std::size_t kLongestLength = UINT16_MAX;

constexpr std::size_t kValueSize = QUARN_VALUE_SIZE;
constexpr std::size_t kValuesOffset = QUARN_PAYLOAD_VALUES_OFFSET;
constexpr std::size_t kType2PortsOffset = QUARN_TYPE2_PORTS_OFFSET;
constexpr std::uint8_t kTypes[] = {QUARN_PAYLOAD_TYPE_CHANNELS, QUARN_PAYLOAD_TYPE_PORTS,
                                   QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS};
constexpr std::size_t kLayouts[] = {QUARN_TYPE0_PAYLOAD_SIZE, QUARN_TYPE1_PAYLOAD_SIZE,
                                    QUARN_TYPE2_PAYLOAD_SIZE};

constexpr std::uint32_t kStreamSeed = 0x5EED0001;
constexpr std::size_t kStreamBytes = 4U << 20;
constexpr std::uint8_t kFiller = 0x00;
// Every kind of damage must occur at least this often for the run to count.
constexpr std::size_t kMinPerKind = 1000;

class Rng {
  public:
    explicit Rng(std::uint32_t seed) : gen_(seed) {}
    std::size_t range(std::size_t lo, std::size_t hi) {
        return std::uniform_int_distribution<std::size_t>(lo, hi)(gen_);
    }
    bool percent(std::size_t p) {
        return range(1, 100) <= p;
    }
    std::uint8_t byte() {
        return static_cast<std::uint8_t>(range(0, UINT8_MAX));
    }
    // Anything but a start byte.
    std::uint8_t junk() {
        std::uint8_t b;
        do {
            b = byte();
        } while (b == kHead);
        return b;
    }
    // Neither a start byte nor a trailer: good payloads are made of these.
    std::uint8_t clean() {
        std::uint8_t b;
        do {
            b = byte();
        } while (b == kHead || b == kTail);
        return b;
    }

  private:
    std::mt19937 gen_;
};

Bytes wrap(std::uint8_t command, const Bytes &payload, std::uint8_t trailer = kTail) {
    Bytes f{kHead, command, static_cast<std::uint8_t>(payload.size() & 0xFF),
            static_cast<std::uint8_t>(payload.size() >> 8)};
    f.insert(f.end(), payload.begin(), payload.end());
    f.push_back(trailer);
    return f;
}

// Value k of a run at payload offset s: byte s + 2k low, s + 2k + 1 high.
template <std::size_t N> std::array<std::uint16_t, N> values_at(const Bytes &p, std::size_t s) {
    std::array<std::uint16_t, N> v{};
    for (std::size_t k = 0; k < N; ++k) {
        v[k] = static_cast<std::uint16_t>(p[s + kValueSize * k] | p[s + kValueSize * k + 1] << 8);
    }
    return v;
}

// A frame the parser must accept, with what it writes.
struct GoodFrame {
    std::size_t start = 0;
    std::size_t last = 0; // the trailer
    bool data = true;     // command 0xA5: counts for the call's result
    std::optional<Channels> channels;
    std::optional<Ports> ports;
    std::size_t decided = 0; // the byte whose arrival decodes it
};

struct Frame {
    Bytes bytes;
    GoodFrame meta;
};

enum Kind : std::size_t {
    kChannelsFrame,
    kPortsFrame,
    kBothFrame,
    kShortFrame,
    kOtherTypeFrame,
    kRequestFrame,
    kJunk,
    kBadTrailer,
    kTruncated,
    kStrayStart,
    kStrayLengthTooLong,
    kUnknownCommandAroundFrame,
    kDelayedFrame, // a good frame inside the span some stray start claims
    kKindCount
};

struct Stream {
    Bytes bytes;
    std::vector<GoodFrame> frames;
    std::array<std::size_t, kKindCount> counts{};
    std::size_t strays_claiming_frames = 0; // must stay 0: see the top of the file
};

struct StartByte {
    std::size_t pos;
    std::uint8_t command;
    std::size_t length;
};

StartByte read_start(const Bytes &b, std::size_t q) {
    return {q, b[q + 1], static_cast<std::size_t>(b[q + 2] | b[q + 3] << 8)};
}
bool fits(const StartByte &s) {
    return s.length <= kMaxPayload;
}
// With a 0x5F at its trailer position this start byte would be a frame that
// the parser skips over.
bool could_be_frame(const StartByte &s) {
    return (s.command == kData || s.command == kRequest) && fits(s);
}
std::size_t trailer_of(const StartByte &s) {
    return s.pos + kHeader + s.length;
}
// The last byte the parser needs before it can judge this start byte.
std::size_t judged_at(const StartByte &s) {
    return fits(s) ? trailer_of(s) : s.pos + kHeader - 1;
}

class StreamBuilder {
  public:
    explicit StreamBuilder(std::uint32_t seed) : rng_(seed) {}

    Stream build(std::size_t size) {
        while (s_.bytes.size() < size) {
            if (rng_.percent(50)) {
                add_good_frame();
            } else {
                add_noise();
            }
        }
        // Every stray start byte still waiting is judged on these, and the
        // good frames it held back are decoded: the parser ends empty.
        for (std::size_t i = 0; i < kMaxFrame; ++i) {
            push_noise(kFiller);
        }
        decide();
        return std::move(s_);
    }

  private:
    // A data frame of the kind; values and payload bytes beyond the layout
    // are random but never 0xFA or 0x5F. Layout-sized when !padded.
    Frame data_frame(Kind kind, bool padded = true) {
        Frame f;
        Bytes p;
        switch (kind) {
        case kChannelsFrame:
        case kPortsFrame:
        case kBothFrame: {
            const std::size_t layout = kLayouts[kind - kChannelsFrame];
            const std::size_t extra =
                padded && rng_.percent(10) ? rng_.range(1, kMaxPayload - layout) : 0;
            p = clean(layout + extra);
            p[0] = kTypes[kind - kChannelsFrame];
            if (kind != kPortsFrame) {
                f.meta.channels = values_at<QUARN_CHANNEL_COUNT>(p, kValuesOffset);
            }
            if (kind != kChannelsFrame) {
                f.meta.ports = values_at<QUARN_PORT_COUNT>(
                    p, kind == kPortsFrame ? kValuesOffset : kType2PortsOffset);
            }
            break;
        }
        case kShortFrame: {
            const std::size_t type = rng_.range(0, 2);
            p = clean(rng_.range(0, kLayouts[type] - 1));
            if (!p.empty()) {
                p[0] = kTypes[type];
            }
            break;
        }
        default:
            p = clean(rng_.range(1, kMaxPayload));
            do {
                p[0] = rng_.byte();
            } while (p[0] <= QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS || p[0] == kHead ||
                     p[0] == kTail);
            break;
        }
        f.bytes = wrap(kData, p);
        f.meta.last = f.bytes.size() - 1;
        return f;
    }

    Frame any_data_frame() {
        return data_frame(static_cast<Kind>(rng_.range(kChannelsFrame, kOtherTypeFrame)));
    }

    void add_good_frame() {
        if (rng_.percent(10)) {
            ++s_.counts[kRequestFrame];
            Frame f;
            f.bytes = wrap(kRequest, clean(rng_.range(0, 40)));
            f.meta.data = false;
            f.meta.last = f.bytes.size() - 1;
            push_unit(f.bytes, f.meta);
            return;
        }
        const auto kind = static_cast<Kind>(rng_.range(kChannelsFrame, kOtherTypeFrame));
        ++s_.counts[kind];
        const Frame f = data_frame(kind);
        push_unit(f.bytes, f.meta);
    }

    void add_noise() {
        switch (rng_.range(0, 4)) {
        case 0: {
            ++s_.counts[kJunk];
            const std::size_t n = rng_.range(1, 64);
            for (std::size_t i = 0; i < n; ++i) {
                push_noise(rng_.junk());
            }
            break;
        }
        case 1: {
            ++s_.counts[kBadTrailer];
            Bytes b = any_data_frame().bytes;
            do {
                b.back() = rng_.byte();
            } while (b.back() == kTail);
            push_noise(b, b.size());
            break;
        }
        case 2: {
            ++s_.counts[kTruncated];
            const Bytes b = any_data_frame().bytes;
            push_noise(b, rng_.range(1, b.size() - 1));
            break;
        }
        case 3:
            add_stray_start();
            break;
        default:
            add_unknown_command_frame();
            break;
        }
    }

    // A start byte with a random command and a length from every range: tiny,
    // up to the longest that fits, just too long, and up to 65535. It may be
    // cut anywhere inside its header; whatever follows completes it.
    void add_stray_start() {
        static constexpr std::uint8_t kCommands[] = {kData, kRequest, kStop};
        const std::uint8_t command = rng_.percent(50) ? kCommands[rng_.range(0, 2)] : rng_.byte();
        std::size_t length = 0;
        switch (rng_.range(0, 5)) {
        case 0:
            length = rng_.range(0, 3);
            break;
        case 1:
            length = rng_.range(0, kMaxPayload);
            break;
        case 2:
            length = kMaxPayload - rng_.range(0, 2);
            break;
        case 3:
            length = kMaxPayload + rng_.range(1, 3);
            break;
        case 4:
            length = rng_.range(kMaxPayload + 1, kLongestLength);
            break;
        default:
            length = kLongestLength;
            break;
        }
        ++s_.counts[length <= kMaxPayload ? kStrayStart : kStrayLengthTooLong];
        const Bytes b{kHead, command, static_cast<std::uint8_t>(length & 0xFF),
                      static_cast<std::uint8_t>(length >> 8)};
        push_noise(b, rng_.range(1, b.size()));
    }

    // A well-formed frame with a command the parser does not know: it is not
    // skipped, so the data frame inside it must be found.
    void add_unknown_command_frame() {
        ++s_.counts[kUnknownCommandAroundFrame];
        Frame inner = data_frame(static_cast<Kind>(rng_.range(kChannelsFrame, kBothFrame)), false);
        const std::size_t room = kMaxPayload - inner.bytes.size();
        Bytes payload(rng_.range(0, room / 2), 0);
        for (auto &b : payload) {
            b = rng_.junk();
        }
        inner.meta.start += kHeader + payload.size();
        inner.meta.last += kHeader + payload.size();
        payload.insert(payload.end(), inner.bytes.begin(), inner.bytes.end());
        for (std::size_t n = rng_.range(0, room / 2); n > 0; --n) {
            payload.push_back(rng_.junk());
        }
        std::uint8_t command;
        do {
            command = rng_.byte();
        } while (command == kData || command == kRequest || command == kHead);
        push_unit(wrap(command, payload), inner.meta);
    }

    Bytes clean(std::size_t n) {
        Bytes b(n);
        for (auto &x : b) {
            x = rng_.clean();
        }
        return b;
    }

    bool tail_forbidden(std::size_t pos) const {
        return pos < no_tail_.size() && no_tail_[pos];
    }

    // Noise may hold a 0x5F anywhere except where a stray start expects its
    // trailer.
    void push_noise(std::uint8_t b) {
        if (b == kTail && tail_forbidden(s_.bytes.size())) {
            b = kTail - 1;
        }
        s_.bytes.push_back(b);
        note_strays();
    }
    void push_noise(const Bytes &bytes, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            push_noise(bytes[i]);
        }
    }

    // A unit holding one good frame goes in whole; filler bytes move it on
    // until none of its 0x5F bytes lands where a stray start expects its
    // trailer.
    void push_unit(const Bytes &unit, GoodFrame frame) {
        for (;;) {
            const std::size_t base = s_.bytes.size();
            bool clash = false;
            for (std::size_t i = 0; i < unit.size() && !clash; ++i) {
                clash = unit[i] == kTail && tail_forbidden(base + i);
            }
            if (!clash) {
                break;
            }
            push_noise(kFiller);
        }
        frame.start += s_.bytes.size();
        frame.last += s_.bytes.size();
        s_.frames.push_back(frame);
        s_.bytes.insert(s_.bytes.end(), unit.begin(), unit.end());
        note_strays();
    }

    bool inside_good_frame(std::size_t q) {
        while (cursor_ < s_.frames.size() && s_.frames[cursor_].last < q) {
            ++cursor_;
        }
        return cursor_ < s_.frames.size() && s_.frames[cursor_].start <= q;
    }

    // Marks the trailer positions of stray starts whose length field is now
    // complete.
    void note_strays() {
        for (; scanned_ + kHeader <= s_.bytes.size(); ++scanned_) {
            if (s_.bytes[scanned_] != kHead || inside_good_frame(scanned_)) {
                continue;
            }
            const StartByte s = read_start(s_.bytes, scanned_);
            if (could_be_frame(s)) {
                const std::size_t t = trailer_of(s);
                no_tail_.resize(std::max(no_tail_.size(), t + 1));
                no_tail_[t] = true;
            }
        }
    }

    // Checks the stream's promise and works out when each good frame is
    // decoded: once it and every stray start byte before it can be judged.
    void decide() {
        const Bytes &b = s_.bytes;
        std::size_t horizon = 0;
        std::size_t q = 0;
        auto judge_up_to = [&](std::size_t end) {
            for (; q < end; ++q) {
                if (b[q] != kHead) {
                    continue;
                }
                const StartByte s = read_start(b, q);
                if (could_be_frame(s) && b[trailer_of(s)] == kTail) {
                    ++s_.strays_claiming_frames;
                }
                horizon = std::max(horizon, judged_at(s));
            }
        };
        for (GoodFrame &f : s_.frames) {
            judge_up_to(f.start);
            f.decided = std::max(f.last, horizon);
            if (f.decided > f.last) {
                ++s_.counts[kDelayedFrame];
            }
            q = f.last + 1;
        }
        judge_up_to(b.size());
    }

    Rng rng_;
    Stream s_;
    std::vector<bool> no_tail_;
    std::size_t scanned_ = 0;
    std::size_t cursor_ = 0;
};

const Stream &stress_stream() {
    static const Stream s = StreamBuilder(kStreamSeed).build(kStreamBytes);
    return s;
}

// Brings the parser to empty whatever it retained: on these bytes every start
// byte in it is judged. Frames retained behind an unfinished one may be
// decoded on the way; the arrays given are null.
void empty_parser() {
    const Bytes zeros(kMaxFrame, kFiller);
    for (std::size_t pos = 0; pos < zeros.size(); pos += kMaxChunk) {
        const auto len = static_cast<std::uint8_t>(std::min(kMaxChunk, zeros.size() - pos));
        parse_port_data(zeros.data() + pos, len, nullptr, nullptr);
    }
}

// Feeds the stream in random chunks of 1 to 255 bytes and checks the result
// and both arrays after every call. With stop_at_decisions a chunk ends where
// the next good frame is decided, so each call decodes one frame or one group
// of frames that a stray start held back together.
void feed_and_check(const Stream &s, std::uint32_t seed, bool stop_at_decisions) {
    empty_parser();
    Rng rng(seed);
    Channels channels{};
    Channels expected_channels{};
    Ports ports{};
    Ports expected_ports{};
    std::size_t next = 0;
    std::size_t pos = 0;
    while (pos < s.bytes.size()) {
        std::size_t len = std::min(rng.range(1, kMaxChunk), s.bytes.size() - pos);
        if (stop_at_decisions && next < s.frames.size()) {
            len = std::min(len, s.frames[next].decided + 1 - pos);
        }
        const std::uint8_t result = parse_port_data(
            s.bytes.data() + pos, static_cast<std::uint8_t>(len), channels.data(), ports.data());
        pos += len;

        const std::size_t first = next;
        std::uint8_t expected = 0;
        for (; next < s.frames.size() && s.frames[next].decided < pos; ++next) {
            const GoodFrame &f = s.frames[next];
            if (f.data) {
                expected = 1;
            }
            expected_channels = f.channels.value_or(expected_channels);
            expected_ports = f.ports.value_or(expected_ports);
        }
        ASSERT_EQ(result, expected)
            << "call ending at byte " << pos << ", good frames " << first << " to " << next;
        ASSERT_EQ(channels, expected_channels) << "call ending at byte " << pos;
        ASSERT_EQ(ports, expected_ports) << "call ending at byte " << pos;
    }
    EXPECT_EQ(next, s.frames.size());
}

TEST(StreamStress, StreamHoldsEveryKindOfFrameAndDamage) {
    const Stream &s = stress_stream();
    EXPECT_GE(s.bytes.size(), kStreamBytes);
    EXPECT_EQ(s.strays_claiming_frames, 0U);
    for (std::size_t kind = 0; kind < kKindCount; ++kind) {
        EXPECT_GE(s.counts[kind], kMinPerKind) << "kind " << kind;
    }
}

TEST(StreamStress, EveryFrameAfterNoiseIsDecodedWhenItsTurnComes) {
    feed_and_check(stress_stream(), 1, true);
}

TEST(StreamStress, RandomChunksLeaveTheValuesOfTheLastFrameDecoded) {
    feed_and_check(stress_stream(), 2, false);
}

} // namespace
