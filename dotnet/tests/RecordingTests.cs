using System;
using System.Collections.Generic;
using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using NUnit.Framework;
using static QuarnInterface.Tests.Support;

namespace QuarnInterface.Tests
{
    [TestFixture]
    public class RecordingTests
    {
        private const string Header = "51554152 4E524543 0100 1000 00000000"; // QUARNREC, 1, 16

        private static byte[] Written(params Record[] records)
        {
            using (var stream = new MemoryStream())
            {
                Recording.Write(stream, records);
                return stream.ToArray();
            }
        }

        private static Recording ReadBytes(byte[] file)
        {
            return Recording.Read(new MemoryStream(file));
        }

        private static void AssertRecords(Recording recording, params Record[] expected)
        {
            Assert.AreEqual(expected.Select(r => r.TimeMicroseconds),
                            recording.Records.Select(r => r.TimeMicroseconds), "times");
            Assert.AreEqual(expected.Select(r => r.Data), recording.Records.Select(r => r.Data),
                            "data");
        }

        [Test]
        public void WritesTheTimedFormat()
        {
            var file = Written(new Record(0x0102030405060708, Hex("AABB")),
                               new Record(5, new byte[0]), // nothing to replay: left out
                               new Record(0, Hex("5F")));
            Assert.AreEqual(Hex(Header + "0807060504030201 0200 AABB" + "0000000000000000 0100 5F"),
                            file);
        }

        [Test]
        public void AChunkOfMoreThan65535BytesBecomesSeveralRecordsOfItsTime()
        {
            var data = Enumerable.Range(0, 70000).Select(i => (byte)(i * 7)).ToArray();
            var recording = ReadBytes(Written(new Record(1500, data), new Record(1600, Hex("01"))));
            Assert.IsFalse(recording.Truncated);
            AssertRecords(recording, new Record(1500, data.Take(65535).ToArray()),
                          new Record(1500, data.Skip(65535).ToArray()),
                          new Record(1600, Hex("01")));
        }

        [Test]
        public void RefusesBadRecordsAndWritesNothingForThem()
        {
            Assert.Throws<ArgumentOutOfRangeException>(() => new Record(-1, Hex("01")));
            Assert.Throws<ArgumentNullException>(() => new Record(0, null));
            var error = Assert.Throws<ArgumentException>(
                () => Written(new Record(0, Hex("01")), null));
            StringAssert.Contains("record 1 is null", error.Message);
        }

        private static IEnumerable<TestCaseData> Files()
        {
            var first = "E803000000000000 0300 FAA519"; // 1000 us, 3 bytes
            var second = "D007000000000000 0200 5F00"; // 2000 us, 2 bytes
            var all = new[] { new Record(1000, Hex("FAA519")), new Record(2000, Hex("5F00")) };
            yield return new TestCaseData(Header + first + second, false, all).SetName("Whole");
            yield return new TestCaseData(Header, false, new Record[0]).SetName("NoRecords");
            yield return new TestCaseData("51554152 4E524543 0100 1400 00000000 01020304" + first,
                                          false, all.Take(1).ToArray())
                .SetName("LargerHeaderIsSkipped");
            yield return new TestCaseData("51554152 4E524543 0100", true, new Record[0])
                .SetName("CutInTheHeader");
            yield return new TestCaseData("51554152 4E524543 0100 1400 00000000 0102", true,
                                          new Record[0])
                .SetName("CutInTheLargerHeader");
            yield return new TestCaseData(Header + first + "D007", true, all.Take(1).ToArray())
                .SetName("CutInARecordsTime");
            yield return new TestCaseData(Header + first + "D007000000000000 02", true,
                                          all.Take(1).ToArray())
                .SetName("CutInARecordsLength");
            yield return new TestCaseData(Header + first + "D007000000000000 0200 5F", true,
                                          new[] { all[0], new Record(2000, Hex("5F")) })
                .SetName("CutInARecordsBytesKeepsThosePresent");
        }

        [TestCaseSource(nameof(Files))]
        public void Reads(string file, bool truncated, Record[] expected)
        {
            var recording = ReadBytes(Hex(file));
            Assert.AreEqual(truncated, recording.Truncated, "truncated");
            AssertRecords(recording, expected);
        }

        [TestCase("", "is not a timed recording")]
        [TestCase("51554152 4E52", "is not a timed recording")]
        [TestCase("FAA5190000", "is not a timed recording")] // raw bytes
        [TestCase("51554152 4E524543 0200 1000 00000000", "it is version 2")]
        [TestCase("51554152 4E524543 0100 0C00 00000000", "its header size 12 is below 16")]
        [TestCase(Header + "FFFFFFFFFFFFFFFF 0100 00", "out of range")]
        public void RefusesWhatItCannotRead(string file, string reason)
        {
            var path = Path.Combine(TempDir(), "bad.qrec");
            File.WriteAllBytes(path, Hex(file));
            var error = Assert.Throws<InvalidDataException>(() => Recording.Read(path));
            StringAssert.Contains(path, error.Message);
            StringAssert.Contains(reason, error.Message);
            Directory.Delete(Path.GetDirectoryName(path), true);
        }

        // Frames at known times, written here: quarn-monitor replays them and shows the values
        // of the last frame, and with --chunk-size 1 one update per frame.
        [Test]
        public void QuarnMonitorReplaysARecordingWrittenHere()
        {
            var monitor = Environment("QUARN_MONITOR");
            var first = Enumerable.Range(0, 12).Select(k => 100 + k).ToArray();
            var second = Enumerable.Range(0, 12).Select(k => 2000 + 3 * k).ToArray();
            var ports = Enumerable.Range(0, 32).Select(k => 40000 + k).ToArray();
            var stream = Type0(first).Concat(Type2(second, ports)).ToArray();
            var dir = TempDir();
            var path = Path.Combine(dir, "written-here.qrec");
            using (var file = File.Create(path))
            {
                Recording.Write(file, new[] {
                    new Record(0, stream.Take(7).ToArray()),
                    new Record(1000, stream.Skip(7).Take(40).ToArray()),
                    new Record(2500, stream.Skip(47).ToArray()),
                });
            }
            var output = Run(monitor,
                             "--replay " + path + " --replay-speed 0 --json --chunk-size 1");
            var lines = output.Split(new[] { '\n' }, StringSplitOptions.RemoveEmptyEntries);
            Assert.AreEqual(2, lines.Length, output);
            StringAssert.Contains("\"channels\":[" + string.Join(",", second) + "]", lines[1]);
            StringAssert.Contains("\"ports\":[" + string.Join(",", ports) + "]", lines[1]);
            StringAssert.Contains("\"channels\":[" + string.Join(",", first) + "]", lines[0]);
            Directory.Delete(dir, true);
        }

        // A raw stream from quarn-sim, replayed by quarn-monitor into a timed recording: read
        // here, the recording holds exactly the stream's bytes.
        [Test]
        public void ReadsARecordingMadeByQuarnMonitor()
        {
            var monitor = Environment("QUARN_MONITOR");
            var sim = Environment("QUARN_SIM");
            var dir = TempDir();
            var raw = Path.Combine(dir, "stream.bin");
            var timed = Path.Combine(dir, "replayed.qrec");
            Run(sim, "--out " + raw + " --frames 200 --noise 0.2");
            Run(monitor, "--replay " + raw + " --json --record " + timed);
            var recording = Recording.Read(timed);
            Assert.IsFalse(recording.Truncated);
            Assert.AreEqual(File.ReadAllBytes(raw),
                            recording.Records.SelectMany(r => r.Data).ToArray());
            Directory.Delete(dir, true);
        }
    }
}
