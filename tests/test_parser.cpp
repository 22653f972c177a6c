// The port-data stream parser: frame recognition, payload layouts, retained
// frames across calls and resynchronisation after bad input.
#include "support.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

using namespace quarn_test;

namespace {

constexpr std::size_t kMaxChunk = 255;
// Fixed, so that a chunking that fails fails again on the next run.
constexpr std::mt19937::result_type kChunkingSeed = 1234;

// Bytes that can never start a frame, for noise and fillers.
const Bytes kNoise{0x00, 0x5F, 0xA5, 0xE5, 0x12, 0xF9, 0xFB, 0x5F};

struct State {
    Channels channels;
    Ports ports;
    bool operator==(const State &o) const {
        return channels == o.channels && ports == o.ports;
    }
};

// A stream with the values a correct parser holds after each data frame.
struct Stream {
    Bytes bytes;
    std::vector<State> updates;
    State now{};
    Stream() {
        now.channels.fill(kSentinel16);
        now.ports.fill(kSentinel16);
    }
    Stream &junk(const Bytes &b) {
        bytes += b;
        return *this;
    }
    Stream &data(const Bytes &f, std::optional<Channels> c, std::optional<Ports> p) {
        bytes += f;
        if (c) {
            now.channels = *c;
        }
        if (p) {
            now.ports = *p;
        }
        updates.push_back(now);
        return *this;
    }
};

class Parser : public ::testing::Test {
  protected:
    // Output arrays with a sentinel value on either side.
    std::array<std::uint16_t, QUARN_CHANNEL_COUNT + 2> ch_buf{};
    std::array<std::uint16_t, QUARN_PORT_COUNT + 2> port_buf{};
    std::uint16_t *ch = ch_buf.data() + 1;
    std::uint16_t *ports = port_buf.data() + 1;
#if !defined(_WIN32)
    GuardedPageEnd guard;
#endif

    void SetUp() override {
        flush();
        ch_buf.fill(kSentinel16);
        port_buf.fill(kSentinel16);
    }
    void TearDown() override {
        expect_guards_intact();
        flush();
    }

    // Every check of the arrays' contents checks their neighbours too, so a
    // write past either end is pinned on the row or step that made it.
    void expect_guards_intact() const {
        EXPECT_EQ(ch_buf.front(), kSentinel16) << "write before channels[0]";
        EXPECT_EQ(ch_buf.back(), kSentinel16) << "write past channels[11]";
        EXPECT_EQ(port_buf.front(), kSentinel16) << "write before ports[0]";
        EXPECT_EQ(port_buf.back(), kSentinel16) << "write past ports[31]";
    }

    // The parser state is process-wide. A retained frame reaches at most
    // QUARN_MAX_FRAME_SIZE - 1 bytes past its start, so that many zero bytes
    // (which hold no start byte) resolve every start byte held and leave the
    // parser empty.
    static void flush() {
        const Bytes zeros(QUARN_MAX_FRAME_SIZE, 0);
        feed_to(zeros, nullptr, nullptr);
    }
    static std::uint8_t feed_to(const Bytes &b, std::uint16_t *c, std::uint16_t *p,
                                std::size_t chunk = kMaxChunk) {
        std::uint8_t any = 0;
        for (std::size_t at = 0; at < b.size(); at += chunk) {
            const auto n = static_cast<std::uint8_t>(std::min(chunk, b.size() - at));
            any = static_cast<std::uint8_t>(any | parse_port_data(b.data() + at, n, c, p));
        }
        return any;
    }
    std::uint8_t feed(const Bytes &b, std::size_t chunk = kMaxChunk) {
        return feed_to(b, ch, ports, chunk);
    }
    // One chunk (at most kMaxChunk bytes) where a read past its end faults.
    std::uint8_t feed_guarded(const Bytes &b) {
#if defined(_WIN32)
        return feed(b);
#else
        EXPECT_TRUE(guard.ok());
        return parse_port_data(guard.place(b), static_cast<std::uint8_t>(b.size()), ch, ports);
#endif
    }
    State state() const {
        State s;
        std::copy(ch, ch + QUARN_CHANNEL_COUNT, s.channels.begin());
        std::copy(ports, ports + QUARN_PORT_COUNT, s.ports.begin());
        return s;
    }
    // The arrays' contents when only the given values were written.
    static State written(std::optional<Channels> c, std::optional<Ports> p) {
        Channels untouched_c;
        Ports untouched_p;
        untouched_c.fill(kSentinel16);
        untouched_p.fill(kSentinel16);
        return {c.value_or(untouched_c), p.value_or(untouched_p)};
    }
    void expect_state(std::optional<Channels> c, std::optional<Ports> p) const {
        const State s = state();
        const State w = written(c, p);
        EXPECT_EQ(s.channels, w.channels);
        EXPECT_EQ(s.ports, w.ports);
        expect_guards_intact();
    }
};

const Channels kC1 = channels_from(0x1000);
const Channels kC2 = channels_from(0x2111);
const Ports kP1 = ports_from(0x3001);
const Ports kP2 = ports_from(0x4102);

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &b : parts) {
        out += b;
    }
    return out;
}

// Bytes [from, to) of b.
Bytes slice(const Bytes &b, std::size_t from, std::size_t to) {
    return {std::next(b.begin(), static_cast<std::ptrdiff_t>(from)),
            std::next(b.begin(), static_cast<std::ptrdiff_t>(to))};
}

Bytes padded(Bytes payload, std::size_t len) {
    payload.resize(len, 0x00);
    return payload;
}

} // namespace

TEST_F(Parser, Type0FrameWholeAndByteByByte) {
    const Bytes f = data0(kC1);
    ASSERT_EQ(f.size(), std::size_t{QUARN_FRAME_OVERHEAD + QUARN_TYPE0_PAYLOAD_SIZE});
    EXPECT_EQ(feed(f), 1);
    expect_state(kC1, std::nullopt);

    ch_buf.fill(kSentinel16);
    for (std::size_t k = 0; k + 1 < f.size(); ++k) {
        ASSERT_EQ(parse_port_data(&f[k], 1, ch, ports), 0) << "byte " << k;
    }
    EXPECT_EQ(parse_port_data(&f.back(), 1, ch, ports), 1);
    expect_state(kC1, std::nullopt);
}

struct LayoutCase {
    const char *name;
    Bytes chunk;
    bool null_channels, null_ports;
    std::uint8_t result;
    std::optional<Channels> channels;
    std::optional<Ports> ports;
};

TEST_F(Parser, PayloadLayouts) {
    const Bytes type2_gap_ff = frame(QUARN_CMD_PORT_DATA, payload2(kC1, kP1, 0xFF));
    const LayoutCase cases[] = {
        {"type 0", data0(kC1), false, false, 1, kC1, std::nullopt},
        {"type 1", data1(kP1), false, false, 1, std::nullopt, kP1},
        {"type 2", data2(kC1, kP1), false, false, 1, kC1, kP1},
        {"type 2, unused bytes 0xFF", type2_gap_ff, false, false, 1, kC1, kP1},
        {"type 2, channels null", data2(kC1, kP1), true, false, 1, std::nullopt, kP1},
        {"type 1, ports null", data1(kP1), false, true, 1, std::nullopt, std::nullopt},
        {"type 0, channels null", data0(kC1), true, false, 1, std::nullopt, std::nullopt},
        {"type 2, ports null", data2(kC1, kP1), false, true, 1, kC1, std::nullopt},
        {"type 3", frame(QUARN_CMD_PORT_DATA, padded({3}, QUARN_TYPE2_PAYLOAD_SIZE)), false, false,
         1, std::nullopt, std::nullopt},
        {"bytes past the layout ignored", frame(QUARN_CMD_PORT_DATA, padded(payload0(kC1), 40)),
         false, false, 1, kC1, std::nullopt},
        {"empty payload", frame(QUARN_CMD_PORT_DATA, {}), false, false, 1, std::nullopt,
         std::nullopt},
        // Short payloads write nothing but still count; the frame after one
        // proves the scan stepped exactly past its trailer.
        {"type 0 one byte short",
         frame(QUARN_CMD_PORT_DATA, padded(payload0(kC1), QUARN_TYPE0_PAYLOAD_SIZE - 1)), false,
         false, 1, std::nullopt, std::nullopt},
        {"type 1 one byte short, then type 0",
         cat({frame(QUARN_CMD_PORT_DATA, padded(payload1(kP1), QUARN_TYPE1_PAYLOAD_SIZE - 1)),
              data0(kC2)}),
         false, false, 1, kC2, std::nullopt},
        {"type 2 one byte short",
         frame(QUARN_CMD_PORT_DATA, padded(payload2(kC1, kP1), QUARN_TYPE2_PAYLOAD_SIZE - 1)),
         false, false, 1, std::nullopt, std::nullopt},
    };
    for (const LayoutCase &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        EXPECT_EQ(feed_to(c.chunk, c.null_channels ? nullptr : ch, c.null_ports ? nullptr : ports),
                  c.result);
        expect_state(c.channels, c.ports);
    }
}

struct ResyncCase {
    const char *name;
    Bytes chunk;
    std::uint8_t result;
    std::optional<Channels> channels;
    std::optional<Ports> ports;
};

TEST_F(Parser, FindsFramesAndResynchronises) {
    const Bytes bad = data0(kC1);
    Bytes bad_trailer = bad;
    bad_trailer.back() = 0x5E;
    // A start byte claiming 80 payload bytes, with a good 70-byte frame inside
    // and no trailer where the 40 bytes end.
    const Bytes hiding =
        cat({{QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 80, 0}, data1(kP2), Bytes(10, 0x00), {0x00}});
    Channels fa_inside = kC1;
    fa_inside[QUARN_CHANNEL_COUNT - 1] = 0x11FA; // second-to-last payload byte
    // The header of the longest frame that can complete: its trailer lies
    // beyond the end of every row.
    const Bytes longest_head{QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, QUARN_MAX_PAYLOAD_SIZE & 0xFF,
                             QUARN_MAX_PAYLOAD_SIZE >> 8};
    const ResyncCase cases[] = {
        {"two frames in a chunk, the later wins", cat({data0(kC1), data0(kC2)}), 1, kC2,
         std::nullopt},
        {"bad trailer alone", bad_trailer, 0, std::nullopt, std::nullopt},
        {"bad trailer, good frame right behind", cat({bad_trailer, data0(kC2)}), 1, kC2,
         std::nullopt},
        {"stray start claiming 2 bytes before a frame",
         cat({{QUARN_FRAME_HEAD, 0x00, 0x02, 0x00, 0x11, 0x22}, data0(kC2)}), 1, kC2, std::nullopt},
        {"good frame inside a bad frame's claimed span", hiding, 1, std::nullopt, kP2},
        {"start byte in the payload", cat({data0(fa_inside), data1(kP1)}), 1, fa_inside, kP1},
        // A decoded data frame is consumed whole: nothing inside its payload
        // is taken for a frame, decoded or retained.
        {"data frame holding a whole frame",
         frame(QUARN_CMD_PORT_DATA, cat({payload0(kC1), data0(kC2)})), 1, kC1, std::nullopt},
        {"data frame holding a start byte that claims 495 bytes, then a frame",
         cat({frame(QUARN_CMD_PORT_DATA, cat({payload0(kC1), longest_head})), data0(kC2)}), 1, kC2,
         std::nullopt},
        {"length 496 is no frame start",
         cat({{QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 0xF0, 0x01}, data0(kC1)}), 1, kC1,
         std::nullopt},
        {"length 65535 is no frame start",
         cat({{QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 0xFF, 0xFF}, data0(kC1)}), 1, kC1,
         std::nullopt},
        {"unknown command is not skipped", frame(QUARN_CMD_UPLOAD_STOP, data0(kC1)), 1, kC1,
         std::nullopt},
        {"upload-request echo is skipped whole", frame(QUARN_CMD_UPLOAD_REQUEST, data0(kC1)), 0,
         std::nullopt, std::nullopt},
        {"request echo, then data", cat({frame(QUARN_CMD_UPLOAD_REQUEST, {1, 2}), data0(kC2)}), 1,
         kC2, std::nullopt},
    };
    for (const ResyncCase &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        ASSERT_LE(c.chunk.size(), kMaxChunk);
        EXPECT_EQ(feed_guarded(c.chunk), c.result);
        expect_state(c.channels, c.ports);

        // Byte by byte and cut in two anywhere: the same result and values.
        const State w = written(c.channels, c.ports);
        SetUp();
        EXPECT_EQ(feed(c.chunk, 1), c.result) << "byte by byte";
        EXPECT_EQ(state(), w) << "byte by byte";
        for (std::size_t cut = 1; cut < c.chunk.size(); ++cut) {
            SetUp();
            const std::uint8_t first = feed(slice(c.chunk, 0, cut));
            const std::uint8_t second = feed(slice(c.chunk, cut, c.chunk.size()));
            ASSERT_EQ(first | second, c.result) << "cut at " << cut;
            ASSERT_EQ(state(), w) << "cut at " << cut;
        }
        expect_guards_intact();
    }
}

TEST_F(Parser, RetainsUnfinishedFrames) {
    const Bytes f1 = data0(kC1);
    const Bytes f2 = data1(kP1);
    // Frame plus the first 10 bytes of the next, then the rest.
    EXPECT_EQ(feed(cat({f1, Bytes(f2.begin(), f2.begin() + 10)})), 1);
    expect_state(kC1, std::nullopt);
    EXPECT_EQ(feed(Bytes(f2.begin() + 10, f2.end())), 1);
    expect_state(kC1, kP1);

    // A chunk ending in FA A5 keeps those two bytes.
    EXPECT_EQ(feed(cat({kNoise, Bytes(f1.begin(), f1.begin() + 2)})), 0);
    ch_buf.fill(kSentinel16);
    EXPECT_EQ(feed(Bytes(f1.begin() + 2, f1.end())), 1);
    expect_state(kC1, kP1);
}

TEST_F(Parser, ZeroLengthAndNullDataKeepRetainedBytes) {
    const Bytes f = data0(kC2);
    const Bytes head = slice(f, 0, 12);
    const Bytes tail = slice(f, 12, f.size());
    EXPECT_EQ(feed(head), 0);
    EXPECT_EQ(parse_port_data(nullptr, 10, ch, ports), 0);
    EXPECT_EQ(parse_port_data(tail.data(), 0, ch, ports), 0);
    expect_state(std::nullopt, std::nullopt);
    EXPECT_EQ(feed(tail), 1);
    expect_state(kC2, std::nullopt);
}

// Frames of the longest completable size (payload QUARN_MAX_PAYLOAD_SIZE)
// arriving with 200, 250 and 499 bytes retained: chunks that overrun the
// buffer are joined to the retained bytes and scanned in one run, and
// nothing is lost.
TEST_F(Parser, LongFramesAndFullBuffer) {
    const Bytes longest =
        frame(QUARN_CMD_PORT_DATA, padded(payload2(kC1, kP1), QUARN_MAX_PAYLOAD_SIZE));
    ASSERT_EQ(longest.size(), std::size_t{QUARN_MAX_FRAME_SIZE});
    const Bytes next = data0(kC2);

    // 200 retained + 100 completes a 300-byte frame.
    const Bytes f300 = frame(QUARN_CMD_PORT_DATA, padded(payload1(kP2), 295));
    EXPECT_EQ(feed(Bytes(f300.begin(), f300.begin() + 200), 100), 0);
    EXPECT_EQ(feed(Bytes(f300.begin() + 200, f300.end())), 1);
    expect_state(std::nullopt, kP2);

    // 250 retained, then a 251-byte chunk: the frame's last 250 bytes and
    // the next frame's start byte.
    EXPECT_EQ(feed(Bytes(longest.begin(), longest.begin() + 250), 125), 0);
    EXPECT_EQ(feed(cat({Bytes(longest.begin() + 250, longest.end()), {next.front()}})), 1);
    expect_state(kC1, kP1);
    EXPECT_EQ(feed(Bytes(next.begin() + 1, next.end())), 1);
    expect_state(kC2, kP1);

    // 499 retained, then a full chunk: the last byte and a whole frame.
    EXPECT_EQ(feed(Bytes(longest.begin(), longest.end() - 1)), 0);
    const Bytes rest = cat({{longest.back()}, next, Bytes(kMaxChunk - 1 - next.size(), 0)});
    ASSERT_EQ(rest.size(), kMaxChunk);
    ch_buf.fill(kSentinel16);
    port_buf.fill(kSentinel16);
    EXPECT_EQ(feed(rest), 1);
    expect_state(kC2, kP1);
}

// Every way of cutting a stream must leave the same values.
TEST_F(Parser, AnyCutOfAStreamDecodesTheSame) {
    Bytes bad_trailer = data2(kC2, kP2);
    bad_trailer.back() = 0x5E;
    Stream s;
    s.data(data0(kC1), kC1, std::nullopt)
        .junk(kNoise)
        .data(data1(kP1), std::nullopt, kP1)
        .junk(frame(QUARN_CMD_UPLOAD_REQUEST, {0xFA, 0x5F}))
        .junk(bad_trailer)
        .junk({QUARN_FRAME_HEAD, 0x00, 0x02, 0x00, 0x11, 0x22})
        .data(data2(kC2, kP2), kC2, kP2)
        .junk({QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 0xF0, 0x01})
        .junk({QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 40, 0})
        .data(data0(kC1), kC1, std::nullopt)
        .junk(Bytes(11, 0x00))
        .junk({QUARN_FRAME_HEAD, QUARN_CMD_UPLOAD_STOP, 70, 0}) // trailer: the 0x5F below
        .data(data1(kP1), std::nullopt, kP1)
        .junk({QUARN_FRAME_TAIL})
        .data(frame(QUARN_CMD_PORT_DATA, padded(payload0(kC2), 200)), kC2, std::nullopt)
        .junk(kNoise);
    const Bytes &b = s.bytes;
    const State last = s.updates.back();

    // Byte by byte: one update per data frame, in stream order.
    std::vector<State> seen;
    for (std::uint8_t byte : b) {
        if (parse_port_data(&byte, 1, ch, ports) != 0) {
            seen.push_back(state());
        }
    }
    EXPECT_EQ(seen, s.updates);
    expect_guards_intact();

    for (std::size_t cut = 1; cut < b.size(); ++cut) {
        SetUp();
        feed(slice(b, 0, cut));
        feed(slice(b, cut, b.size()));
        ASSERT_EQ(state(), last) << "cut at " << cut;
        expect_guards_intact();
    }

    std::mt19937 rng(kChunkingSeed);
    std::uniform_int_distribution<std::size_t> size(1, kMaxChunk);
    for (int trial = 0; trial < 200; ++trial) {
        SetUp();
        for (std::size_t at = 0; at < b.size();) {
            const std::size_t n = std::min(size(rng), b.size() - at);
            feed(slice(b, at, at + n));
            at += n;
        }
        ASSERT_EQ(state(), last) << "trial " << trial;
        expect_guards_intact();
    }
}

struct NewStreamCase {
    const char *name;
    Bytes lost;  // what the lost connection delivered
    Bytes fresh; // what the next connection delivers
    std::uint8_t alone_result;
    Channels alone; // channels without a clean start
    std::uint8_t clean_result;
    std::optional<Channels> clean; // channels after quarn_start_new_stream()
};

// A connection lost mid-frame, then the next one. Without a clean start the
// retained half frame is completed by the new bytes; quarn_start_new_stream()
// drops it, writing nothing, so only what the device sent is decoded.
TEST_F(Parser, NewStreamDropsTheLostConnectionsHalfFrame) {
    Channels sent;
    sent.fill(1000); // E8 03
    sent[5] = 863;   // 5F 03: its low byte is frame byte 15
    const Bytes f = data0(sent);
    // Cut after 14 bytes, the old frame's trailer falls on byte 15 of the
    // new one: 0x5F. Its channel 4 takes 0xE8 (old byte 13) and the new start
    // byte 0xFA; channel 5 the new command A5 and length 19; channel 6 the
    // length's high byte and the type byte; 7 to 11 the new channels 0 to 4.
    Channels spliced = sent;
    spliced[4] = 0xFAE8; // 64232
    spliced[5] = 0x19A5; // 6565
    spliced[6] = 0x0000;
    Channels untouched;
    untouched.fill(kSentinel16);
    const Bytes longest =
        frame(QUARN_CMD_PORT_DATA, padded(payload2(kC1, kP1), QUARN_MAX_PAYLOAD_SIZE));
    const Bytes longest_header{QUARN_FRAME_HEAD, QUARN_CMD_PORT_DATA, 0xEF, 0x01}; // 495
    const Bytes trailer{QUARN_FRAME_TAIL};
    const NewStreamCase cases[] = {
        {"cut after 14: a 0x5F where the old trailer falls", slice(f, 0, 14), f, 1, spliced, 1,
         sent},
        {"cut after the start byte", slice(f, 0, 1), f, 1, sent, 1, sent},
        {"cut inside the length", slice(f, 0, 3), f, 1, sent, 1, sent},
        {"cut after the header", slice(f, 0, 4), f, 1, sent, 1, sent},
        {"cut after the type byte", slice(f, 0, 5), f, 1, sent, 1, sent},
        {"cut after 15", slice(f, 0, 15), f, 1, sent, 1, sent},
        {"cut before the trailer", slice(f, 0, f.size() - 1), f, 1, sent, 1, sent},
        {"a header claiming the longest frame", longest_header, f, 0, untouched, 1, sent},
        {"longest frame one byte short, then a trailer", slice(longest, 0, longest.size() - 1),
         trailer, 1, kC1, 0, std::nullopt},
    };
    for (const NewStreamCase &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        EXPECT_EQ(feed(c.lost), 0);
        EXPECT_EQ(feed(c.fresh), c.alone_result);
        EXPECT_EQ(state().channels, c.alone);

        SetUp();
        EXPECT_EQ(feed(c.lost), 0);
        quarn_start_new_stream();
        expect_state(std::nullopt, std::nullopt);
        EXPECT_EQ(feed(c.fresh), c.clean_result);
        expect_state(c.clean, std::nullopt);
    }
}
