#include "sim_device.h"

#include "text.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace quarn::sim {
namespace {

// Host commands carry at most the two request bytes; a longer length field
// is taken as noise rather than waited for.
constexpr size_t kMaxHostPayload = 16;
constexpr size_t kMaxNoiseBurst = 16;
constexpr size_t kReadChunk = 512;
constexpr int kIdlePollMs = 50;
constexpr double kTwoPi = 6.283185307179586;
// Amplitudes that keep every value well inside the standard range.
constexpr double kChannelAmplitude = 450.0;
constexpr double kPortAmplitude = 500.0;
// When the device falls this far behind its schedule (a stalled machine) it
// restarts the schedule instead of sending a burst of late frames.
constexpr auto kMaxLag = std::chrono::seconds(1);

void put_value(std::vector<uint8_t> &out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFFU));
    out.push_back(static_cast<uint8_t>(value >> 8U));
}

size_t payload_size(int type) {
    switch (type) {
    case QUARN_PAYLOAD_TYPE_CHANNELS:
        return QUARN_TYPE0_PAYLOAD_SIZE;
    case QUARN_PAYLOAD_TYPE_PORTS:
        return QUARN_TYPE1_PAYLOAD_SIZE;
    default:
        return QUARN_TYPE2_PAYLOAD_SIZE;
    }
}

uint16_t wave(double centre, double amplitude, double freq_hz, double phase, double t) {
    return static_cast<uint16_t>(
        std::lround(centre + amplitude * std::sin(kTwoPi * freq_hz * t + phase)));
}

} // namespace

Values values_at(uint64_t n, double rate_hz) {
    const double t = static_cast<double>(n) / rate_hz;
    Values v;
    for (size_t k = 0; k < v.channels.size(); ++k) {
        const auto kd = static_cast<double>(k);
        v.channels[k] = wave(kStandardCentre, kChannelAmplitude, 0.10 + 0.05 * kd, 0.5 * kd, t);
    }
    for (size_t k = 0; k < v.ports.size(); ++k) {
        const auto kd = static_cast<double>(k);
        v.ports[k] = wave(kStandardCentre, kPortAmplitude, 0.05 + 0.02 * kd, 0.3 * kd, t);
    }
    return v;
}

std::vector<uint8_t> encode_data_frame(int type, const Values &values) {
    const size_t length = payload_size(type);
    std::vector<uint8_t> frame;
    frame.reserve(length + QUARN_FRAME_OVERHEAD);
    frame.push_back(QUARN_FRAME_HEAD);
    frame.push_back(QUARN_CMD_PORT_DATA);
    put_value(frame, static_cast<uint16_t>(length));
    frame.push_back(static_cast<uint8_t>(type));
    if (type != QUARN_PAYLOAD_TYPE_PORTS) {
        for (uint16_t v : values.channels) {
            put_value(frame, v);
        }
    }
    if (type == QUARN_PAYLOAD_TYPE_CHANNELS_AND_PORTS) {
        frame.insert(frame.end(), QUARN_TYPE2_GAP_SIZE, 0);
    }
    if (type != QUARN_PAYLOAD_TYPE_CHANNELS) {
        for (uint16_t v : values.ports) {
            put_value(frame, v);
        }
    }
    frame.push_back(QUARN_FRAME_TAIL);
    return frame;
}

void EventLog::write(const std::string &line) {
    if (file_ == nullptr) {
        return;
    }
    if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fflush(file_) != 0) {
        // A log that cannot be written is given up rather than left half-written.
        file_ = nullptr;
    }
}

void EventLog::command(const char *kind, const std::vector<uint8_t> &bytes) {
    std::string line = std::string("{\"event\":\"") + kind + "\",\"bytes\":";
    tools::append_json_array(line, bytes.data(), bytes.size());
    write(line + "}\n");
}

void EventLog::sent(const FrameSource::Emission &emission, int type) {
    const std::string n = std::to_string(emission.n);
    if (emission.noise != nullptr) {
        write("{\"event\":\"noise\",\"n\":" + n + ",\"kind\":\"" + emission.noise + "\"}\n");
    }
    if (!emission.whole) {
        write("{\"event\":\"corrupted\",\"n\":" + n + "}\n");
        return;
    }
    std::string line = "{\"event\":\"frame\",\"n\":" + n + ",\"type\":" + std::to_string(type);
    if (type != QUARN_PAYLOAD_TYPE_PORTS) {
        line += ",\"channels\":";
        tools::append_json_array(line, emission.values.channels.data(),
                                 emission.values.channels.size());
    }
    if (type != QUARN_PAYLOAD_TYPE_CHANNELS) {
        line += ",\"ports\":";
        tools::append_json_array(line, emission.values.ports.data(), emission.values.ports.size());
    }
    write(line + "}\n");
}

FrameSource::FrameSource(const Options &options) : options_(options), random_(options.seed) {}

FrameSource::Emission FrameSource::next() {
    Emission e;
    e.n = n_++;
    e.values = values_at(e.n, options_.rate_hz);
    e.bytes = encode_data_frame(options_.type, e.values);

    std::uniform_real_distribution<double> chance(0.0, 1.0);
    if (options_.noise <= 0.0 || chance(random_) >= options_.noise) {
        return e;
    }
    auto random_byte_except = [this](uint8_t a, uint8_t b) {
        uint8_t v = 0;
        do {
            v = static_cast<uint8_t>(random_() & 0xFFU);
        } while (v == a || v == b);
        return v;
    };
    enum { kBurst, kStrayStart, kBadTrailer, kKinds };
    auto kind = random_() % kKinds;
    const bool holds_head =
        std::find(e.bytes.begin() + 1, e.bytes.end(), QUARN_FRAME_HEAD) != e.bytes.end();
    if (kind == kBadTrailer && holds_head) {
        kind = kBurst;
    }
    switch (kind) {
    case kBurst: {
        e.noise = "burst";
        std::vector<uint8_t> burst(1 + random_() % kMaxNoiseBurst);
        for (auto &b : burst) {
            b = random_byte_except(QUARN_FRAME_HEAD, QUARN_FRAME_HEAD);
        }
        e.bytes.insert(e.bytes.begin(), burst.begin(), burst.end());
        break;
    }
    case kStrayStart:
        e.noise = "stray-start";
        e.bytes.insert(e.bytes.begin(), QUARN_FRAME_HEAD);
        break;
    default:
        e.noise = "bad-trailer";
        e.bytes.back() = random_byte_except(QUARN_FRAME_TAIL, QUARN_FRAME_HEAD);
        e.whole = false;
        break;
    }
    return e;
}

void CommandScanner::feed(const uint8_t *data, size_t len, std::vector<Command> &out) {
    pending_.insert(pending_.end(), data, data + len);
    std::vector<uint8_t> junk;
    auto flush_junk = [&] {
        if (!junk.empty()) {
            out.push_back({"junk", junk});
            junk.clear();
        }
    };
    size_t pos = 0;
    while (pos < pending_.size()) {
        const size_t left = pending_.size() - pos;
        if (pending_[pos] != QUARN_FRAME_HEAD) {
            junk.push_back(pending_[pos++]);
            continue;
        }
        if (left < QUARN_FRAME_HEADER_SIZE) {
            break;
        }
        const size_t length = static_cast<size_t>(pending_[pos + 2] | (pending_[pos + 3] << 8U));
        if (length > kMaxHostPayload) {
            junk.push_back(pending_[pos++]);
            continue;
        }
        const size_t total = length + QUARN_FRAME_OVERHEAD;
        if (left < total) {
            break;
        }
        if (pending_[pos + total - 1] != QUARN_FRAME_TAIL) {
            junk.push_back(pending_[pos++]);
            continue;
        }
        flush_junk();
        const uint8_t cmd = pending_[pos + 1];
        const char *kind = "command";
        if (cmd == QUARN_CMD_UPLOAD_REQUEST && total == QUARN_UPLOAD_REQUEST_SIZE) {
            kind = "request";
        } else if (cmd == QUARN_CMD_UPLOAD_STOP && total == QUARN_UPLOAD_STOP_SIZE) {
            kind = "stop";
        }
        out.push_back(
            {kind, std::vector<uint8_t>(pending_.begin() + static_cast<long>(pos),
                                        pending_.begin() + static_cast<long>(pos + total))});
        pos += total;
    }
    flush_junk();
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(pos));
}

int run_device(int master_fd, const Options &options, EventLog &log, const std::atomic<bool> &quit,
               std::string &error) {
    using clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<clock::duration>(
        std::chrono::duration<double>(1.0 / options.rate_hz));
    fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);

    CommandScanner scanner;
    FrameSource source(options);
    std::vector<CommandScanner::Command> commands;
    FrameSource::Emission sending;
    size_t sent = 0;
    bool streaming = false;
    bool stopped = false;
    auto next_tick = clock::now();

    while (!quit.load() && !(options.once && stopped && sent == sending.bytes.size())) {
        auto now = clock::now();
        int timeout = kIdlePollMs;
        if (streaming) {
            const auto until = std::chrono::ceil<std::chrono::milliseconds>(next_tick - now);
            timeout = static_cast<int>(std::clamp<long>(until.count(), 0, kIdlePollMs));
        }
        pollfd pfd{master_fd, POLLIN, 0};
        if (sent < sending.bytes.size()) {
            pfd.events |= POLLOUT;
        }
        if (poll(&pfd, 1, timeout) < 0 && errno != EINTR) {
            error = std::string("poll: ") + std::strerror(errno);
            return 1;
        }
        if ((pfd.revents & POLLIN) != 0) {
            uint8_t buf[kReadChunk];
            const ssize_t n = read(master_fd, buf, sizeof buf);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                error = std::string("reading from the host: ") + std::strerror(errno);
                return 1;
            }
            if (n > 0) {
                scanner.feed(buf, static_cast<size_t>(n), commands);
            }
            for (const auto &c : commands) {
                log.command(c.kind, c.bytes);
                if (std::strcmp(c.kind, "request") == 0) {
                    streaming = true;
                    stopped = false;
                    next_tick = clock::now();
                } else if (std::strcmp(c.kind, "stop") == 0) {
                    streaming = false;
                    stopped = true;
                }
            }
            commands.clear();
        }

        now = clock::now();
        if (streaming && now >= next_tick) {
            // A frame still in flight means the host is not reading: this
            // tick's frame is dropped at the source, as a UART would.
            if (sent == sending.bytes.size()) {
                sending = source.next();
                sent = 0;
            }
            next_tick += period;
            if (now - next_tick > kMaxLag) {
                next_tick = now + period;
            }
        }
        if (sent < sending.bytes.size()) {
            const ssize_t n =
                write(master_fd, sending.bytes.data() + sent, sending.bytes.size() - sent);
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                error = std::string("writing to the host: ") + std::strerror(errno);
                return 1;
            }
            sent += n > 0 ? static_cast<size_t>(n) : 0;
            if (sent == sending.bytes.size()) {
                log.sent(sending, options.type);
            }
        }
    }
    return 0;
}

} // namespace quarn::sim
