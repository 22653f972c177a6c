using System;

namespace QuarnInterface
{
    /// <summary>
    /// Reassembles the device's port-data stream and decodes its data frames into
    /// <see cref="Channels"/> and <see cref="Ports"/>.
    /// </summary>
    /// <remarks>
    /// <para>
    /// The library holds ONE reassembly state per process, shared by every parser: a process
    /// can follow one byte stream at a time. Bytes of a second device, or of two parsers fed
    /// in turn, corrupt each other's frames. <see cref="Feed(byte[], int, int)"/> is
    /// serialised by a lock shared by all parsers, so calls from several threads never
    /// overlap inside the library; whose bytes come first is still the callers' to order.
    /// </para>
    /// <para>
    /// A new parser starts clean: it drops whatever the library retained of an unfinished
    /// frame, so the first frame of a new connection is never completed with bytes of an old
    /// one. <see cref="Reset"/> does the same on demand, after a reconnect or a reopened port.
    /// Both reset every other parser of the process with it.
    /// </para>
    /// <para>Each parser keeps its own values: zeros until a data frame carried them.</para>
    /// </remarks>
    public sealed class PortDataParser
    {
        // Serialises every call of the library's parser in this process, as its state is
        // process-wide. Also guards the chunk buffer and each parser's arrays.
        private static readonly object LibraryLock = new object();
        private static readonly byte[] Chunk = new byte[Quarn.MaxChunkSize];
        private static readonly byte[] Zeros = new byte[Quarn.MaxChunkSize];

        private readonly ushort[] channels = new ushort[Quarn.ChannelCount];
        private readonly ushort[] ports = new ushort[Quarn.PortCount];

        /// <summary>
        /// Makes a parser and starts a new stream: the library drops any unfinished frame it
        /// retained, for every parser of the process (see <see cref="Reset"/>).
        /// </summary>
        public PortDataParser()
        {
            Reset();
        }

        /// <summary>
        /// Starts a new stream: drops every byte of an unfinished frame that the library
        /// retained. Call it after a reconnect, after the port was reopened, or before a replay.
        /// </summary>
        /// <remarks>
        /// The library's reassembly state belongs to the process, so this resets every other
        /// parser of the process too. It feeds <see cref="Quarn.NewStreamFlushSize"/> zero
        /// bytes, in two calls, with no arrays to write: no frame claims more than
        /// <see cref="Quarn.MaxFrameSize"/> bytes and a zero is never a start byte nor a
        /// trailer, so every retained byte is dropped and nothing is decoded. The values of
        /// this parser stay as they were.
        /// </remarks>
        public void Reset()
        {
            lock (LibraryLock)
            {
                for (var fed = 0; fed < Quarn.NewStreamFlushSize; fed += Zeros.Length)
                {
                    NativeMethods.ParsePortData(Zeros, (byte)Zeros.Length, null, null);
                }
            }
        }

        /// <summary>Takes received bytes of any length, cut anywhere.</summary>
        /// <param name="data">The bytes as received.</param>
        /// <returns><c>true</c> when at least one data frame was decoded in this call.</returns>
        /// <exception cref="ArgumentNullException"><paramref name="data"/> is null.</exception>
        public bool Feed(byte[] data)
        {
            Quarn.RequireNotNull(data, nameof(data));
            return Feed(data, 0, data.Length);
        }

        /// <summary>
        /// Takes <paramref name="count"/> received bytes of <paramref name="data"/> from
        /// <paramref name="offset"/> on, of any length and cut anywhere. They reach the library
        /// in pieces of at most <see cref="Quarn.MaxChunkSize"/> bytes; an unfinished frame is
        /// kept for the next call, and bad bytes are skipped without losing a good frame
        /// after them.
        /// </summary>
        /// <param name="data">A buffer holding the bytes as received.</param>
        /// <param name="offset">Where the bytes start in <paramref name="data"/>.</param>
        /// <param name="count">How many bytes to take.</param>
        /// <returns>
        /// <c>true</c> when at least one data frame, of any type, was decoded in this call.
        /// </returns>
        /// <exception cref="ArgumentNullException"><paramref name="data"/> is null.</exception>
        /// <exception cref="ArgumentOutOfRangeException"><paramref name="offset"/> or
        /// <paramref name="count"/> is negative.</exception>
        /// <exception cref="ArgumentException">The range lies outside
        /// <paramref name="data"/>.</exception>
        public bool Feed(byte[] data, int offset, int count)
        {
            Quarn.RequireNotNull(data, nameof(data));
            if (offset < 0)
            {
                throw new ArgumentOutOfRangeException(nameof(offset), offset,
                                                      "offset must not be negative");
            }
            if (count < 0)
            {
                throw new ArgumentOutOfRangeException(nameof(count), count,
                                                      "count must not be negative");
            }
            if (count > data.Length - offset)
            {
                throw new ArgumentException(
                    "offset " + offset + " and count " + count + " reach past the end of data (" +
                    data.Length + " bytes)", nameof(count));
            }
            var decoded = false;
            lock (LibraryLock)
            {
                for (var done = 0; done < count;)
                {
                    var length = Math.Min(count - done, Chunk.Length);
                    Buffer.BlockCopy(data, offset + done, Chunk, 0, length);
                    if (NativeMethods.ParsePortData(Chunk, (byte)length, channels, ports) != 0)
                    {
                        decoded = true;
                    }
                    done += length;
                }
            }
            return decoded;
        }

        /// <summary>
        /// A copy of the <see cref="Quarn.ChannelCount"/> (12) channel values of the last data
        /// frame that carried them (payload types 0 and 2).
        /// </summary>
        public ushort[] Channels
        {
            get
            {
                lock (LibraryLock)
                {
                    return (ushort[])channels.Clone();
                }
            }
        }

        /// <summary>
        /// A copy of the <see cref="Quarn.PortCount"/> (32) port values of the last data frame
        /// that carried them (payload types 1 and 2), in two groups of
        /// <see cref="Quarn.PortGroupSize"/>.
        /// </summary>
        public ushort[] Ports
        {
            get
            {
                lock (LibraryLock)
                {
                    return (ushort[])ports.Clone();
                }
            }
        }
    }
}
