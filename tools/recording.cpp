#include "recording.h"

#include "error.h"
#include "serial.h"
#include "signals.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace quarn::tools {
namespace {

constexpr size_t kRawChunkSize = 4096;
constexpr unsigned kBitsPerByte = 8;
constexpr uint8_t kByteMask = 0xFF;
constexpr mode_t kFileMode = 0644;
// Writes to a record file go to disk or a pipe; a reader that blocks a
// pipe this long has stopped reading.
constexpr auto kWriteTimeout = std::chrono::seconds(5);

void put_le(std::vector<uint8_t> &out, uint64_t value, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        out.push_back(static_cast<uint8_t>((value >> (kBitsPerByte * i)) & kByteMask));
    }
}

uint64_t get_le(const uint8_t *data, size_t size) {
    uint64_t value = 0;
    for (size_t i = size; i > 0; --i) {
        value = (value << kBitsPerByte) | data[i - 1];
    }
    return value;
}

} // namespace

Recorder::Recorder(const std::string &path, Format format, bool overwrite, Clock::time_point start)
    : path_(path), format_(format), start_(start) {
    // Non-blocking, so that a FIFO nobody reads is refused at once, not waited for.
    int flags = O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC;
    if (overwrite) {
        flags |= O_TRUNC;
    } else {
        flags |= format == Format::timed ? O_EXCL : O_APPEND;
    }
    fd_ = Fd(open(path.c_str(), flags, kFileMode));
    if (!fd_.valid()) {
        const int e = errno;
        std::string message = describe_open_error("record file", path, e);
        if (e == EEXIST) {
            message += " (a timed recording is never appended to; give --overwrite to replace "
                       "it, or choose a new name)";
        }
        throw Error(kExitOpen, message);
    }
    if (format_ == Format::timed) {
        std::vector<uint8_t> header(kRecordingMagic.begin(), kRecordingMagic.end());
        put_le(header, kRecordingVersion, sizeof(uint16_t));
        put_le(header, kRecordingHeaderSize, sizeof(uint16_t));
        put_le(header, 0, sizeof(uint32_t));
        put(header.data(), header.size());
    }
}

void Recorder::write(const uint8_t *data, size_t len, Clock::time_point at) {
    if (format_ == Format::raw) {
        put(data, len);
        return;
    }
    while (len > 0) {
        const size_t n = std::min(len, kMaxRecordChunk);
        put_record(data, n, at);
        data += n;
        len -= n;
    }
}

void Recorder::mark_new_stream(Clock::time_point at) {
    if (format_ == Format::timed) {
        put_record(nullptr, 0, at);
    }
}

void Recorder::put_record(const uint8_t *data, size_t len, Clock::time_point at) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(at - start_).count();
    record_.clear();
    put_le(record_, static_cast<uint64_t>(std::max<int64_t>(micros, 0)), kRecordTimeSize);
    put_le(record_, len, kRecordLengthSize);
    record_.insert(record_.end(), data, data + len);
    put(record_.data(), record_.size());
}

void Recorder::put(const uint8_t *data, size_t len) {
    if (!write_all(fd_.get(), data, len, kWriteTimeout)) {
        throw Error(kExitFailure, "writing record file " + path_ + " failed: " + errno_text(errno));
    }
}

RecordingReader::RecordingReader(Fd fd, std::string name)
    : fd_(std::move(fd)), name_(std::move(name)) {
    // A file that cannot be read from its start cannot be opened as a
    // recording; a read that fails later fails the replay.
    read_error_code_ = kExitOpen;
    read_header();
    read_error_code_ = kExitFailure;
}

void RecordingReader::read_header() {
    std::array<uint8_t, kRecordingHeaderSize> header{};
    const size_t got = read_fully(header.data(), kRecordingMagic.size());
    if (got < kRecordingMagic.size() ||
        !std::equal(kRecordingMagic.begin(), kRecordingMagic.end(), header.begin())) {
        raw_start_.assign(header.begin(), header.begin() + static_cast<long>(got));
        return;
    }
    timed_ = true;
    const size_t rest = kRecordingHeaderSize - kRecordingMagic.size();
    if (read_fully(header.data() + kRecordingMagic.size(), rest) < rest) {
        note_cut("inside its file header");
        return;
    }
    const auto version = get_le(&header[kRecordingVersionOffset], sizeof(uint16_t));
    const auto header_size = get_le(&header[kRecordingHeaderSizeOffset], sizeof(uint16_t));
    if (version != kRecordingVersion) {
        throw Error(kExitOpen, "cannot read recording " + name_ + ": it is version " +
                                   std::to_string(version) + ", this program reads version " +
                                   std::to_string(kRecordingVersion));
    }
    if (header_size < kRecordingHeaderSize) {
        throw Error(kExitOpen, "cannot read recording " + name_ + ": its header size " +
                                   std::to_string(header_size) + " is below " +
                                   std::to_string(kRecordingHeaderSize));
    }
    std::vector<uint8_t> skipped(header_size - kRecordingHeaderSize);
    if (read_fully(skipped.data(), skipped.size()) < skipped.size()) {
        note_cut("inside its file header");
    }
}

bool RecordingReader::next(Chunk &chunk) {
    if (ended_) {
        return false;
    }
    if (!timed_) {
        chunk.at = std::chrono::microseconds(0);
        if (!raw_start_.empty()) {
            chunk.bytes = std::move(raw_start_);
            raw_start_.clear();
            return true;
        }
        chunk.bytes.resize(kRawChunkSize);
        ssize_t n = 0;
        do {
            n = read(fd_.get(), chunk.bytes.data(), chunk.bytes.size());
        } while (n < 0 && errno == EINTR && !stop_requested());
        if (n < 0 && errno == EINTR) {
            n = 0;
        } else if (n < 0) {
            throw Error(kExitFailure,
                        "cannot read replay file " + name_ + ": " + errno_text(errno));
        }
        chunk.bytes.resize(static_cast<size_t>(n));
        ended_ = n == 0;
        return !ended_;
    }
    const uint64_t record_start = offset_;
    std::array<uint8_t, kRecordHeaderSize> head{};
    const size_t got = read_fully(head.data(), head.size());
    if (got < head.size()) {
        if (got > 0 && !stop_requested()) {
            note_cut("inside the record that starts at byte " + std::to_string(record_start));
        }
        ended_ = true;
        return false;
    }
    chunk.at = std::chrono::microseconds(get_le(head.data(), kRecordTimeSize));
    chunk.bytes.resize(get_le(&head[kRecordTimeSize], kRecordLengthSize));
    const size_t present = read_fully(chunk.bytes.data(), chunk.bytes.size());
    if (present < chunk.bytes.size()) {
        // The bytes present of a cut record were received too: keep them.
        chunk.bytes.resize(present);
        if (!stop_requested()) {
            note_cut("inside the record that starts at byte " + std::to_string(record_start));
        }
        ended_ = true;
    }
    return !chunk.bytes.empty() || !ended_;
}

size_t RecordingReader::read_fully(uint8_t *data, size_t len) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = read(fd_.get(), data + done, len - done);
        if (n == 0) {
            break;
        }
        if (n < 0) {
            // Ctrl-C while a pipe has nothing to give ends the replay.
            if (errno == EINTR) {
                if (stop_requested()) {
                    break;
                }
                continue;
            }
            throw Error(read_error_code_,
                        "cannot read replay file " + name_ + ": " + errno_text(errno));
        }
        done += static_cast<size_t>(n);
    }
    offset_ += done;
    return done;
}

void RecordingReader::note_cut(const std::string &where) {
    ended_ = true;
    cut_notice_ = "recording " + name_ + " is cut at byte " + std::to_string(offset_) + ", " +
                  where + "; everything up to the cut was replayed";
}

} // namespace quarn::tools
