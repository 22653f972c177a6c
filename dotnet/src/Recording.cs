using System;
using System.Collections.Generic;
using System.IO;
using System.Text;

namespace QuarnInterface
{
    /// <summary>One record of a timed recording: a chunk of bytes as received, and when.</summary>
    public sealed class Record
    {
        /// <summary>Makes a record.</summary>
        /// <param name="timeMicroseconds">Arrival time in microseconds since the recording
        /// started.</param>
        /// <param name="data">The bytes exactly as received.</param>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="timeMicroseconds"/> is
        /// negative.</exception>
        /// <exception cref="ArgumentNullException"><paramref name="data"/> is null.</exception>
        public Record(long timeMicroseconds, byte[] data)
        {
            if (timeMicroseconds < 0)
            {
                throw new ArgumentOutOfRangeException(nameof(timeMicroseconds), timeMicroseconds,
                                                      "a time in a recording is never negative");
            }
            Quarn.RequireNotNull(data, nameof(data));
            TimeMicroseconds = timeMicroseconds;
            Data = data;
        }

        /// <summary>Arrival time in microseconds since the recording started.</summary>
        public long TimeMicroseconds { get; }

        /// <summary>The bytes exactly as received.</summary>
        public byte[] Data { get; }
    }

    /// <summary>
    /// A timed recording in the format of <c>quarn-monitor --record</c>, which
    /// <c>quarn-monitor --replay</c> plays back at its pace.
    /// </summary>
    /// <remarks>
    /// All integers are little-endian. The file starts with a 16-byte header: the ASCII magic
    /// <c>QUARNREC</c>, the version (16 bits, 1), the header size (16 bits, 16; a reader skips
    /// a larger header up to this size) and 4 reserved bytes. Records follow to the end of the
    /// file: the arrival time in microseconds (64 bits), the chunk length n (16 bits, 1 to
    /// 65535) and the n bytes as received.
    /// </remarks>
    public sealed class Recording
    {
        private const int MagicSize = 8;
        private const int VersionSize = 2;
        private const int HeaderSizeFieldSize = 2;
        private const int ReservedSize = 4;
        private const int HeaderSize = MagicSize + VersionSize + HeaderSizeFieldSize + ReservedSize;
        private const int RecordTimeSize = 8;
        private const int RecordLengthSize = 2;
        private const int RecordHeaderSize = RecordTimeSize + RecordLengthSize;
        private const ushort FormatVersion = 1;
        private const int MaxRecordData = ushort.MaxValue;
        private static readonly byte[] Magic = Encoding.ASCII.GetBytes("QUARNREC");

        private Recording(IList<Record> records, bool truncated)
        {
            Records = new List<Record>(records).AsReadOnly();
            Truncated = truncated;
        }

        /// <summary>The records in file order.</summary>
        public IReadOnlyList<Record> Records { get; }

        /// <summary>
        /// <c>true</c> when the file ends inside its header or inside a record. The bytes
        /// present of a cut record were received too: they are the last record, as
        /// <c>quarn-monitor --replay</c> replays them.
        /// </summary>
        public bool Truncated { get; }

        /// <summary>Reads a timed recording from a file.</summary>
        /// <param name="path">The recording's path.</param>
        /// <returns>The recording.</returns>
        /// <exception cref="InvalidDataException">The file is not a timed recording, or one of a
        /// version or header this reader cannot read; the message names the file.</exception>
        /// <exception cref="IOException">The file cannot be opened or read.</exception>
        public static Recording Read(string path)
        {
            Quarn.RequireNotNull(path, nameof(path));
            using (var stream = File.OpenRead(path))
            {
                return Read(stream, path);
            }
        }

        /// <summary>Reads a timed recording from a stream, to its end.</summary>
        /// <param name="stream">A readable stream positioned at the recording's start.</param>
        /// <returns>The recording.</returns>
        /// <exception cref="InvalidDataException">The stream holds no timed recording, or one of
        /// a version or header this reader cannot read.</exception>
        public static Recording Read(Stream stream)
        {
            Quarn.RequireNotNull(stream, nameof(stream));
            return Read(stream, "stream");
        }

        /// <summary>
        /// Writes a timed recording: the header, then the records. A record of more than 65535
        /// bytes is written as several records of the same time, as <c>quarn-monitor</c> does;
        /// an empty one holds nothing to replay and is left out.
        /// </summary>
        /// <param name="stream">A writable stream; it is left open.</param>
        /// <param name="records">The records in the order received.</param>
        /// <exception cref="ArgumentException">A record is null.</exception>
        public static void Write(Stream stream, IEnumerable<Record> records)
        {
            Quarn.RequireNotNull(stream, nameof(stream));
            Quarn.RequireNotNull(records, nameof(records));
            var header = new byte[HeaderSize];
            Buffer.BlockCopy(Magic, 0, header, 0, MagicSize);
            PutLittleEndian(header, MagicSize, FormatVersion, VersionSize);
            PutLittleEndian(header, MagicSize + VersionSize, HeaderSize, HeaderSizeFieldSize);
            stream.Write(header, 0, header.Length);

            var recordHeader = new byte[RecordHeaderSize];
            var index = 0;
            foreach (var record in records)
            {
                if (record == null)
                {
                    throw new ArgumentException("record " + index + " is null", nameof(records));
                }
                for (var done = 0; done < record.Data.Length;)
                {
                    var length = Math.Min(record.Data.Length - done, MaxRecordData);
                    PutLittleEndian(recordHeader, 0, (ulong)record.TimeMicroseconds,
                                    RecordTimeSize);
                    PutLittleEndian(recordHeader, RecordTimeSize, (ulong)length, RecordLengthSize);
                    stream.Write(recordHeader, 0, recordHeader.Length);
                    stream.Write(record.Data, done, length);
                    done += length;
                }
                index++;
            }
        }

        private static Recording Read(Stream stream, string name)
        {
            var header = new byte[HeaderSize];
            var got = ReadFully(stream, header, 0, MagicSize);
            for (var i = 0; i < MagicSize; i++)
            {
                if (i >= got || header[i] != Magic[i])
                {
                    throw new InvalidDataException(
                        name + " is not a timed recording: it does not start with QUARNREC " +
                        "(a raw recording is the received bytes alone; read it as it is)");
                }
            }
            var records = new List<Record>();
            const int rest = HeaderSize - MagicSize;
            if (ReadFully(stream, header, MagicSize, rest) < rest)
            {
                return new Recording(records, true);
            }
            var version = GetLittleEndian(header, MagicSize, VersionSize);
            var headerSize = GetLittleEndian(header, MagicSize + VersionSize, HeaderSizeFieldSize);
            if (version != FormatVersion)
            {
                throw new InvalidDataException("cannot read recording " + name +
                                               ": it is version " + version +
                                               ", this reader reads version " + FormatVersion);
            }
            if (headerSize < HeaderSize)
            {
                throw new InvalidDataException("cannot read recording " + name +
                                               ": its header size " + headerSize +
                                               " is below " + HeaderSize);
            }
            var extra = new byte[headerSize - HeaderSize];
            if (ReadFully(stream, extra, 0, extra.Length) < extra.Length)
            {
                return new Recording(records, true);
            }

            var recordHeader = new byte[RecordHeaderSize];
            while (true)
            {
                var headerGot = ReadFully(stream, recordHeader, 0, RecordHeaderSize);
                if (headerGot < RecordHeaderSize)
                {
                    return new Recording(records, headerGot > 0);
                }
                var time = GetLittleEndian(recordHeader, 0, RecordTimeSize);
                if (time > long.MaxValue)
                {
                    throw new InvalidDataException("cannot read recording " + name +
                                                   ": a record's time " + time +
                                                   " is out of range");
                }
                var data = new byte[GetLittleEndian(recordHeader, RecordTimeSize,
                                                    RecordLengthSize)];
                var present = ReadFully(stream, data, 0, data.Length);
                if (present < data.Length)
                {
                    Array.Resize(ref data, present);
                    if (present > 0)
                    {
                        records.Add(new Record((long)time, data));
                    }
                    return new Recording(records, true);
                }
                records.Add(new Record((long)time, data));
            }
        }

        private static int ReadFully(Stream stream, byte[] buffer, int offset, int count)
        {
            var done = 0;
            while (done < count)
            {
                var n = stream.Read(buffer, offset + done, count - done);
                if (n == 0)
                {
                    break;
                }
                done += n;
            }
            return done;
        }

        private static void PutLittleEndian(byte[] buffer, int offset, ulong value, int size)
        {
            for (var i = 0; i < size; i++)
            {
                buffer[offset + i] = (byte)(value >> (8 * i));
            }
        }

        private static ulong GetLittleEndian(byte[] buffer, int offset, int size)
        {
            ulong value = 0;
            for (var i = 0; i < size; i++)
            {
                value |= (ulong)buffer[offset + i] << (8 * i);
            }
            return value;
        }
    }
}
