// Recordings of what a session received. A timed recording keeps the time
// each chunk arrived, so a replay shows the device's pace; a raw one is the
// bytes alone. All integers are little-endian.
//
//   file header, kRecordingHeaderSize (16) bytes
//   +-------------+---------+-------------+----------+
//   | 0 .. 7      | 8 .. 9  | 10 .. 11    | 12 .. 15 |
//   | "QUARNREC"  | version | header size | reserved |
//   |             | 1       | 16          | 0        |
//   +-------------+---------+-------------+----------+
//   then records, to the end of the file
//   +--------------------------------+----------+-----------------+
//   | 0 .. 7                         | 8 .. 9   | 10 .. 10 + n - 1|
//   | arrival time, microseconds     | length n | the n bytes as  |
//   | since the recording started    | 0..65535 | received        |
//   +--------------------------------+----------+-----------------+
//
// A record of length 0 marks where a new connection began (--reconnect): a
// replay starts a new stream there, as the live session did. Readers skip a
// header larger than 16 bytes up to its stated size, so a later version can
// add fields. A file that does not start with the magic is raw bytes.
#ifndef QUARN_TOOLS_RECORDING_H
#define QUARN_TOOLS_RECORDING_H

#include "fd.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace quarn::tools {

using Clock = std::chrono::steady_clock;

constexpr std::array<uint8_t, 8> kRecordingMagic{'Q', 'U', 'A', 'R', 'N', 'R', 'E', 'C'};
constexpr uint16_t kRecordingVersion = 1;
constexpr size_t kRecordingVersionOffset = kRecordingMagic.size();
constexpr size_t kRecordingHeaderSizeOffset = kRecordingVersionOffset + sizeof(uint16_t);
constexpr size_t kRecordingReservedOffset = kRecordingHeaderSizeOffset + sizeof(uint16_t);
constexpr size_t kRecordingHeaderSize = kRecordingReservedOffset + sizeof(uint32_t);
constexpr size_t kRecordTimeSize = sizeof(uint64_t);
constexpr size_t kRecordLengthSize = sizeof(uint16_t);
constexpr size_t kRecordHeaderSize = kRecordTimeSize + kRecordLengthSize;
constexpr size_t kMaxRecordChunk = UINT16_MAX;

class Recorder {
  public:
    enum class Format { timed, raw };

    // Opens the file. A timed recording is never appended to: an existing
    // file is refused unless `overwrite`. A raw one is appended to unless
    // `overwrite`. Times count from `start`. Throws Error (kExitOpen).
    Recorder(const std::string &path, Format format, bool overwrite, Clock::time_point start);

    // Adds received bytes. Throws Error (kExitFailure) when the file cannot
    // take them.
    void write(const uint8_t *data, size_t len, Clock::time_point at);
    // Marks where a new connection begins, in a timed recording (raw bytes
    // have no place for it). Throws as write().
    void mark_new_stream(Clock::time_point at);

  private:
    void put(const uint8_t *data, size_t len);
    void put_record(const uint8_t *data, size_t len, Clock::time_point at);

    Fd fd_;
    std::string path_;
    Format format_;
    Clock::time_point start_;
    std::vector<uint8_t> record_;
};

// Reads a recording, timed or raw, one chunk at a time.
class RecordingReader {
  public:
    // Reads the file header. Throws Error (kExitOpen) when the file is a
    // timed recording that this reader cannot read.
    RecordingReader(Fd fd, std::string name);

    struct Chunk {
        std::vector<uint8_t> bytes;      // empty where a new connection began
        std::chrono::microseconds at{0}; // 0 for every chunk of a raw file
    };

    bool timed() const {
        return timed_;
    }
    // Fills the next chunk; false at the end of the file. Throws Error
    // (kExitFailure) when reading fails.
    bool next(Chunk &chunk);
    // When the file ends inside a record: one line that says where.
    const std::string &cut_notice() const {
        return cut_notice_;
    }

  private:
    void read_header();
    size_t read_fully(uint8_t *data, size_t len);
    void note_cut(const std::string &where);

    Fd fd_;
    std::string name_;
    bool timed_ = false;
    bool ended_ = false;
    int read_error_code_ = 0;        // the exit code a failed read ends with
    uint64_t offset_ = 0;            // bytes read from the file so far
    std::vector<uint8_t> raw_start_; // bytes read to look for the magic
    std::string cut_notice_;
};

} // namespace quarn::tools

#endif
