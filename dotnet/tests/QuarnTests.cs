using System;
using System.Collections.Generic;
using System.Data;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Text.RegularExpressions;
using NUnit.Framework;
using static QuarnInterface.Tests.Support;

namespace QuarnInterface.Tests
{
    [TestFixture]
    public class CommandTests
    {
        [TestCase(0x00, 0x00, "FA E5 02 00 00 00 5F")]
        [TestCase(0xFA, 0x5F, "FA E5 02 00 FA 5F 5F")] // no escaping of either
        [TestCase(0x12, 0xA5, "FA E5 02 00 12 A5 5F")]
        [TestCase(0xFF, 0x01, "FA E5 02 00 FF 01 5F")]
        public void UploadRequest(int first, int second, string expected)
        {
            Assert.AreEqual(Hex(expected), Quarn.RequestUploadPortData((byte)first, (byte)second));
        }

        [Test]
        public void StopIsTheSameFreshArrayOnEveryCall()
        {
            var first = Quarn.StopUploadPortData();
            first[0] = 0;
            Assert.AreEqual(Hex("FA E4 00 00 5F"), Quarn.StopUploadPortData());
        }
    }

    [TestFixture]
    public class HidTests
    {
        [TestCase("3412 CDAB 0180 214365 000000 0000 FFFF 0001 FF",
                  new[] { 0x1234, 0xABCD, 0x8001, 0x321, 0x654, 0, 0, 0, 0, 0xFFFF, 0x100 })]
        [TestCase("0000 0000 0000 FFFFFF FFFFFF FFFF 0000 0000 00",
                  new[] { 0, 0, 0, 4095, 4095, 4095, 4095, 4095, 15, 0, 0 })]
        [TestCase("0000 0000 0000 000000 BC9A78 5634 0000 0000 00",
                  new[] { 0, 0, 0, 0, 0, 0xABC, 0x789, 0x456, 3, 0, 0 })]
        public void GameControllerReport(string report, int[] expected)
        {
            Assert.AreEqual(U16(expected), Quarn.ParseHidGameController(Hex(report)));
        }

        [TestCase(0)]
        [TestCase(18)]
        [TestCase(20)]
        [TestCase(19 + 256)] // its 8-bit length would read 19
        public void GameControllerReportOfAnotherLengthIsRefused(int length)
        {
            Assert.IsNull(Quarn.ParseHidGameController(new byte[length]));
        }

        [Test]
        public void CompatibleReport()
        {
            var channels = Enumerable.Range(0, 12).Select(k => 0x1234 + 0x0F0F * k).ToArray();
            // Bytes 1 to 3 and 28 are not examined.
            var report = Hex("FA 01 02 03").Concat(Le16(channels)).Concat(Hex("5E")).ToArray();
            Assert.AreEqual(29, report.Length);
            Assert.AreEqual(U16(channels), Quarn.ParseHidCompatible(report));
        }

        [TestCase(0xFB, 29)]
        [TestCase(0xFA, 28)]
        [TestCase(0xFA, 30)]
        [TestCase(0xFA, 29 + 256)] // its 8-bit length would read 29
        public void CompatibleReportIsRefused(int first, int length)
        {
            var report = new byte[length];
            report[0] = (byte)first;
            Assert.IsNull(Quarn.ParseHidCompatible(report));
        }

        [Test]
        public void NullReportsAreArgumentErrors()
        {
            Assert.AreEqual("report", Assert.Throws<ArgumentNullException>(
                () => Quarn.ParseHidGameController(null)).ParamName);
            Assert.AreEqual("report", Assert.Throws<ArgumentNullException>(
                () => Quarn.ParseHidCompatible(null)).ParamName);
        }
    }

    [TestFixture]
    public class SbusTests
    {
        private static int[] All(int value)
        {
            return Enumerable.Repeat(value, 16).ToArray();
        }

        private static int[] Only(int channel, int value)
        {
            var channels = new int[16];
            channels[channel] = value;
            return channels;
        }

        private static IEnumerable<TestCaseData> Frames()
        {
            // Bytes 1 to 23 of the frame, worked out from the layout by hand.
            yield return new TestCaseData(All(0), new string('0', 46)).SetName("AllZero");
            yield return new TestCaseData(All(2047), new string('F', 44) + "00").SetName("All2047");
            yield return new TestCaseData(Only(0, 0x7FF), "FF07" + new string('0', 42))
                .SetName("Channel0Full");
            yield return new TestCaseData(Only(1, 1), "0008" + new string('0', 42))
                .SetName("Channel1Lowest");
            yield return new TestCaseData(Only(15, 0x400), new string('0', 42) + "8000")
                .SetName("Channel15Highest");
            yield return new TestCaseData(All(0x400), "0004200001084000021080" +
                                                      "0004200001084000021080" + "00")
                .SetName("All0x400");
            var alternating = Enumerable.Range(0, 16).Select(k => k % 2 == 0 ? 0x555 : 0x2AA);
            yield return new TestCaseData(alternating.ToArray(), new string('5', 44) + "00")
                .SetName("Alternating");
            // Out of range: sent as 2047, never spilling into a neighbour.
            yield return new TestCaseData(Only(0, 0xFFFF), "FF07" + new string('0', 42))
                .SetName("Channel0Saturates");
            yield return new TestCaseData(Only(1, 0xFFFF), "00F83F" + new string('0', 40))
                .SetName("Channel1Saturates");
        }

        [TestCaseSource(nameof(Frames))]
        public void EncodeV1(int[] channels, string bytes1To23)
        {
            var frame = Quarn.EncodeSbusV1(U16(channels));
            Assert.AreEqual(Hex("0F" + bytes1To23 + "00"), frame);
        }

        [TestCaseSource(nameof(Frames))]
        public void EncodeV2(int[] channels, string bytes1To23)
        {
            var frame = Quarn.EncodeSbusV2(U16(channels));
            Assert.AreEqual(Hex("0F" + bytes1To23), frame.Take(24).ToArray());
            Assert.AreEqual(0x04, frame[24] & 0x0F, "end byte {0:X2}", frame[24]);
        }

        private static int NextEndByte(int endByte)
        {
            return (endByte + 0x10) % 0x40;
        }

        [Test]
        public void V2EndByteCyclesAndARefusedCallDoesNotAdvanceIt()
        {
            var channels = new ushort[16];
            var endByte = (int)Quarn.EncodeSbusV2(channels)[24];
            Assert.Throws<ArgumentException>(() => Quarn.EncodeSbusV2(new ushort[15]));
            for (var i = 0; i < 6; i++)
            {
                var next = Quarn.EncodeSbusV1(channels)[24];
                Assert.AreEqual(0, next, "v1's end byte");
                endByte = NextEndByte(endByte);
                Assert.AreEqual(endByte, Quarn.EncodeSbusV2(channels)[24]);
            }
        }

        [Test]
        public void Conversion()
        {
            var inputs = new[] { 0, 1, 600, 1199, 1200, 1201, 38416, 65535,
                                 100, 200, 300, 400, 500, 700, 800, 1000 };
            var expected = new[] { 0, 1, 1023, 2045, 2047, 2047, 2047, 2047,
                                   170, 341, 511, 682, 853, 1194, 1364, 1706 };
            Assert.AreEqual(U16(expected), Quarn.ConvertStdSbus(U16(inputs)));
        }
    }

    // Arrays of the wrong length never reach the library.
    [TestFixture]
    public class ArgumentTests
    {
        private static IEnumerable<TestCaseData> Calls()
        {
            var calls = new Dictionary<string, Func<ushort[], object>>
            {
                { "values", v => Quarn.ConvertStdSbus(v) },
                { "channels", v => Quarn.EncodeSbusV1(v) },
                { "channels ", v => Quarn.EncodeSbusV2(v) },
            };
            foreach (var call in calls)
            {
                foreach (var length in new[] { 0, 15, 17, 32 })
                {
                    yield return new TestCaseData(call.Value, call.Key.Trim(), length);
                }
            }
        }

        [TestCaseSource(nameof(Calls))]
        public void WrongLengthIsAnArgumentErrorNamingParameterAndLength(
            Func<ushort[], object> call, string parameter, int length)
        {
            var error = Assert.Throws<ArgumentException>(() => call(new ushort[length]));
            Assert.AreEqual(parameter, error.ParamName);
            StringAssert.Contains("expected 16", error.Message);
            StringAssert.Contains("holds " + length + " values", error.Message);
        }

        [TestCaseSource(nameof(Calls))]
        public void NullIsAnArgumentError(Func<ushort[], object> call, string parameter, int _)
        {
            Assert.AreEqual(parameter,
                            Assert.Throws<ArgumentNullException>(() => call(null)).ParamName);
        }
    }

    // Every number the header defines is a constant of Quarn, under its name in PascalCase.
    [TestFixture]
    public class HeaderConstantTests
    {
        internal static string HeaderText()
        {
            var path = Path.Combine(SourceDir, "include", "QuarnInterface.h");
            return File.ReadAllText(path).Replace("\\\n", " ");
        }

        private static string PascalCase(string macro)
        {
            return string.Concat(macro.Split('_').Select(
                word => word.Substring(0, 1) + word.Substring(1).ToLowerInvariant()));
        }

        [Test]
        public void EveryNumericMacroIsAConstantWithItsValue()
        {
            var macros = new Dictionary<string, string>();
            foreach (Match m in Regex.Matches(HeaderText(), @"^#define QUARN_(\w+)[ \t]+(.+)$",
                                              RegexOptions.Multiline))
            {
                macros[m.Groups[1].Value] = Regex.Replace(m.Groups[2].Value, @"/\*.*?\*/", "");
            }
            var constants = typeof(Quarn).GetFields(BindingFlags.Public | BindingFlags.Static)
                .Where(f => f.IsLiteral)
                .ToDictionary(f => f.Name, f => Convert.ToInt64(f.GetValue(null)));
            var compared = 0;
            foreach (var macro in macros)
            {
                var expression = macro.Value;
                while (Regex.IsMatch(expression, @"QUARN_\w+"))
                {
                    string known;
                    expression = Regex.Replace(
                        expression, @"QUARN_(\w+)",
                        m => macros.TryGetValue(m.Groups[1].Value, out known) ? known : "?");
                }
                expression = Regex.Replace(expression, @"0x([0-9A-Fa-f]+)",
                                           m => Convert.ToInt64(m.Groups[1].Value, 16).ToString());
                if (!Regex.IsMatch(expression, @"^[\d\s()+*/-]+$"))
                {
                    continue; // QUARN_API and the like
                }
                var value = Convert.ToInt64(new DataTable().Compute(expression, ""));
                var name = PascalCase(macro.Key);
                Assert.IsTrue(constants.ContainsKey(name), "Quarn has no constant " + name);
                Assert.AreEqual(value, constants[name], name);
                compared++;
            }
            Assert.Greater(compared, 40);
        }
    }
}
