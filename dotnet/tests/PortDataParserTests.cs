using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using NUnit.Framework;
using static QuarnInterface.Tests.Support;

namespace QuarnInterface.Tests
{
    [TestFixture]
    public class PortDataParserTests
    {
        private static readonly int[] Channels =
            Enumerable.Range(0, 12).Select(k => 0x1000 + 0x0101 * k).ToArray();
        private static readonly int[] Ports =
            Enumerable.Range(0, 32).Select(k => 0xF000 - 0x0203 * k).ToArray();
        private static readonly int[] NoChannels = new int[12];
        private static readonly int[] NoPorts = new int[32];

        private static void AssertValues(PortDataParser parser, int[] channels, int[] ports)
        {
            Assert.AreEqual(U16(channels), parser.Channels, "channels");
            Assert.AreEqual(U16(ports), parser.Ports, "ports");
        }

        private static IEnumerable<TestCaseData> PayloadTypes()
        {
            yield return new TestCaseData(Type0(Channels), Channels, NoPorts).SetName("Type0");
            yield return new TestCaseData(Type1(Ports), NoChannels, Ports).SetName("Type1");
            yield return new TestCaseData(Type2(Channels, Ports), Channels, Ports).SetName("Type2");
            // Longer than one library call: decoded only if cut into pieces of at most 255.
            var longType2 = DataFrame(2, Type2(Channels, Ports).Skip(5).Take(94)
                                             .Concat(new byte[305]).ToArray());
            Assert.AreEqual(405, longType2.Length);
            yield return new TestCaseData(longType2, Channels, Ports).SetName("Type2Of405Bytes");
        }

        [TestCaseSource(nameof(PayloadTypes))]
        public void EachPayloadTypeFillsItsValues(byte[] stream, int[] channels, int[] ports)
        {
            var parser = new PortDataParser();
            Assert.IsTrue(parser.Feed(stream));
            AssertValues(parser, channels, ports);
        }

        [TestCase("")]
        [TestCase("FA E5 02 00 A5 5F 5F")] // an echoed upload request
        [TestCase("FA A5 19 00 00")] // unfinished
        [TestCase("FA A5 01 00 00 5E")] // bad trailer
        public void StreamsWithoutADataFrameGiveFalse(string stream)
        {
            var parser = new PortDataParser();
            Assert.IsFalse(parser.Feed(Hex(stream)));
            AssertValues(parser, NoChannels, NoPorts);
        }

        [Test]
        public void EveryCutOfAStreamGivesTheSameValues()
        {
            var stream = Hex("10 11 12").Concat(Type0(Channels)).Concat(Hex("FA E5 02 00 01 02 5F"))
                .Concat(Type1(Ports)).ToArray();
            for (var cut = 0; cut <= stream.Length; cut++)
            {
                var parser = new PortDataParser();
                var first = parser.Feed(stream, 0, cut);
                var second = parser.Feed(stream, cut, stream.Length - cut);
                Assert.IsTrue(first || second, "cut at {0}", cut);
                AssertValues(parser, Channels, Ports);
            }
        }

        [Test]
        public void ValuesAreCopies()
        {
            var parser = new PortDataParser();
            parser.Feed(Type2(Channels, Ports));
            parser.Channels[0] = 1;
            parser.Ports[0] = 1;
            AssertValues(parser, Channels, Ports);
        }

        [Test]
        public void ParsersShareTheLibrarysOneStream()
        {
            var parser = new PortDataParser();
            var other = new PortDataParser();
            var frame = Type0(Channels);
            Assert.IsFalse(other.Feed(frame, 0, 20));
            Assert.IsTrue(parser.Feed(frame, 20, frame.Length - 20));
            AssertValues(parser, Channels, NoPorts);
            AssertValues(other, NoChannels, NoPorts);
        }

        // A range outside the array is refused before any byte reaches the library: the
        // unfinished frame held before is still completed after.
        [TestCase(-1, 1, "offset")]
        [TestCase(0, -1, "count")]
        [TestCase(0, 31, "count")]
        [TestCase(30, 1, "count")]
        [TestCase(31, 0, "count")]
        [TestCase(int.MaxValue, 2, "count")]
        public void ARangeOutsideTheDataIsRefused(int offset, int count, string parameter)
        {
            var frame = Type0(Channels);
            var parser = new PortDataParser();
            Assert.IsFalse(parser.Feed(frame, 0, 10));
            var error = Assert.Catch<ArgumentException>(() => parser.Feed(frame, offset, count));
            Assert.AreEqual(parameter, error.ParamName);
            Assert.IsTrue(parser.Feed(frame, 10, frame.Length - 10));
            AssertValues(parser, Channels, NoPorts);
        }

        [Test]
        public void NullDataIsRefused()
        {
            var parser = new PortDataParser();
            Assert.AreEqual("data", Assert.Throws<ArgumentNullException>(
                () => parser.Feed(null)).ParamName);
            Assert.AreEqual("data", Assert.Throws<ArgumentNullException>(
                () => parser.Feed(null, 0, 0)).ParamName);
        }

        // A connection lost in the middle of a frame, then the device's next frame in full: the
        // frame with 1000 in every channel but channel 5, 863 (0x035F). Cut after 14 bytes, the
        // old frame's trailer position falls on 0x5F, the low byte of channel 5, so without a
        // clean start the library completes the old half with the new frame's first bytes:
        // channel 4 = E8 FA (64232), channel 5 = A5 19 (6565), channel 6 = 00 00.
        private static byte[] NewStreamFrame()
        {
            var channels = Enumerable.Repeat(1000, 12).ToArray();
            channels[5] = 863;
            return Type0(channels);
        }

        [Test]
        public void WithoutACleanStartTheHalfFrameIsCompletedWithTheNewOne()
        {
            var frame = NewStreamFrame();
            var parser = new PortDataParser();
            parser.Feed(frame, 0, 14);
            Assert.IsTrue(parser.Feed(frame));
            Assert.AreEqual(U16(new[] { 64232, 6565, 0 }), parser.Channels.Skip(4).Take(3));
        }

        // The frame lost mid-way: the measured case's own frame, or the longest frame the
        // library can hold (a 495-byte payload), which one call of 255 zeros cannot flush.
        private static IEnumerable<TestCaseData> LostFrames()
        {
            var longest = DataFrame(0, Le16(Enumerable.Repeat(1000, 12)).Concat(new byte[470])
                                           .ToArray());
            Assert.AreEqual(500, longest.Length);
            foreach (var cut in new[] { 1, 3, 4, 5, 14, 15, 22, 29 })
            {
                yield return new TestCaseData(NewStreamFrame(), cut).SetName("CutAt" + cut);
            }
            foreach (var cut in new[] { 10, 250, 499 })
            {
                yield return new TestCaseData(longest, cut).SetName("LongestCutAt" + cut);
            }
        }

        [TestCaseSource(nameof(LostFrames))]
        public void ANewParserStartsClean(byte[] lost, int cut)
        {
            Assert.IsFalse(new PortDataParser().Feed(lost, 0, cut));
            var parser = new PortDataParser();
            Assert.IsTrue(parser.Feed(NewStreamFrame()));
            Assert.AreEqual(U16(new[] { 1000, 863, 1000 }), parser.Channels.Skip(4).Take(3));
        }

        [TestCaseSource(nameof(LostFrames))]
        public void ResetStartsCleanAndKeepsTheValues(byte[] lost, int cut)
        {
            var parser = new PortDataParser();
            parser.Feed(Type1(Ports));
            Assert.IsFalse(parser.Feed(lost, 0, cut));
            parser.Reset();
            AssertValues(parser, NoChannels, Ports);
            Assert.IsTrue(parser.Feed(NewStreamFrame()));
            Assert.AreEqual(U16(new[] { 1000, 863, 1000 }), parser.Channels.Skip(4).Take(3));
        }

        // The same random stream, in the same random chunks, through the binding and through
        // the library called directly, gives the same result and values after every chunk, and
        // ends on the last values the stream's frames carried.
        [Test]
        public void RandomStreamMatchesTheLibraryCalledDirectly()
        {
            var random = new Random(2318);
            var stream = new List<byte>();
            int[] lastChannels = NoChannels, lastPorts = NoPorts;
            for (var i = 0; i < 400; i++)
            {
                var junk = Enumerable.Range(0, random.Next(0, 6)).Select(_ => random.Next(0, 0xFA));
                stream.AddRange(junk.Select(b => (byte)b));
                var channels = Enumerable.Range(0, 12).Select(_ => random.Next(0, 65536)).ToArray();
                var ports = Enumerable.Range(0, 32).Select(_ => random.Next(0, 65536)).ToArray();
                switch (random.Next(0, 3))
                {
                case 0:
                    stream.AddRange(Type0(channels));
                    lastChannels = channels;
                    break;
                case 1:
                    stream.AddRange(Type1(ports));
                    lastPorts = ports;
                    break;
                default:
                    stream.AddRange(Type2(channels, ports));
                    lastChannels = channels;
                    lastPorts = ports;
                    break;
                }
            }
            var data = stream.ToArray();
            var chunks = new List<int>();
            for (var at = 0; at < data.Length; at += chunks[chunks.Count - 1])
            {
                chunks.Add(Math.Min(random.Next(0, 700), data.Length - at));
            }

            var parser = new PortDataParser();
            var results = new List<Tuple<bool, ushort[], ushort[]>>();
            var offset = 0;
            foreach (var count in chunks)
            {
                results.Add(Tuple.Create(parser.Feed(data, offset, count), parser.Channels,
                                         parser.Ports));
                offset += count;
            }

            new PortDataParser(); // the same clean start for the direct calls
            ushort[] directChannels = new ushort[12], directPorts = new ushort[32];
            offset = 0;
            for (var i = 0; i < chunks.Count; i++)
            {
                var decoded = ParseDirectly(data, offset, chunks[i], directChannels, directPorts);
                Assert.AreEqual(results[i].Item1, decoded, "result of chunk {0}", i);
                Assert.AreEqual(results[i].Item2, directChannels, "channels after chunk {0}", i);
                Assert.AreEqual(results[i].Item3, directPorts, "ports after chunk {0}", i);
                offset += chunks[i];
            }
            AssertValues(parser, lastChannels, lastPorts);
        }

        // Each feed is five frames of 405 bytes, ten library calls: only the lock keeps another
        // thread's bytes from landing between them. The threads feed side by side for half a
        // second.
        [Test]
        public void FeedsFromSeveralThreadsDoNotInterleave()
        {
            const int threads = 4;
            var failures = new List<string>();
            var start = new Barrier(threads);
            var workers = Enumerable.Range(0, threads).Select(t => new Thread(() =>
            {
                var channels = Enumerable.Repeat(100 * (t + 1), 12).ToArray();
                var ports = Enumerable.Repeat(7 * (t + 1), 32).ToArray();
                var frame = DataFrame(2, Type2(channels, ports).Skip(5).Take(94)
                                             .Concat(new byte[305]).ToArray());
                var five = Enumerable.Repeat(frame, 5).SelectMany(f => f).ToArray();
                var parser = new PortDataParser();
                start.SignalAndWait();
                var clock = System.Diagnostics.Stopwatch.StartNew();
                for (var feed = 0; clock.ElapsedMilliseconds < 500; feed++)
                {
                    if (!parser.Feed(five) || !parser.Channels.SequenceEqual(U16(channels)) ||
                        !parser.Ports.SequenceEqual(U16(ports)))
                    {
                        lock (failures)
                        {
                            failures.Add("thread " + t + ", feed " + feed);
                        }
                    }
                }
            })).ToList();
            workers.ForEach(w => w.Start());
            workers.ForEach(w => w.Join());
            Assert.AreEqual(0, failures.Count, "values of another thread's frames after: " +
                                               string.Join(", ", failures.Take(5)));
        }
    }
}
