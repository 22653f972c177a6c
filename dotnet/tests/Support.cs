using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using NUnit.Framework;

namespace QuarnInterface.Tests
{
    // Frames, reports and SBUS frames built from the byte layouts, independently of the
    // library, and the places of the tree and the tools the tests use.
    internal static class Support
    {
        internal static byte[] Hex(string hex)
        {
            var digits = hex.Replace(" ", "");
            return Enumerable.Range(0, digits.Length / 2)
                .Select(i => Convert.ToByte(digits.Substring(2 * i, 2), 16)).ToArray();
        }

        internal static byte[] Le16(IEnumerable<int> values)
        {
            return values.SelectMany(v => new[] { (byte)(v & 0xFF), (byte)(v >> 8) }).ToArray();
        }

        // FA, command, 16-bit length, payload, 5F.
        internal static byte[] Frame(byte command, byte[] payload)
        {
            var head = new byte[] { 0xFA, command, (byte)payload.Length,
                                    (byte)(payload.Length >> 8) };
            return head.Concat(payload).Concat(new byte[] { 0x5F }).ToArray();
        }

        internal static byte[] DataFrame(byte type, byte[] values)
        {
            return Frame(0xA5, new[] { type }.Concat(values).ToArray());
        }

        internal static byte[] Type0(int[] channels)
        {
            return DataFrame(0, Le16(channels));
        }

        internal static byte[] Type1(int[] ports)
        {
            return DataFrame(1, Le16(ports));
        }

        // Payload bytes 25 to 30 are unused: filled with frame bytes that must change nothing.
        internal static byte[] Type2(int[] channels, int[] ports)
        {
            var gap = new byte[] { 0xFA, 0xA5, 0x5F, 0xFA, 0xA5, 0x5F };
            return DataFrame(2, Le16(channels).Concat(gap).Concat(Le16(ports)).ToArray());
        }

        internal static ushort[] U16(IEnumerable<int> values)
        {
            return values.Select(v => (ushort)v).ToArray();
        }

        internal static string SourceDir
        {
            get { return Environment("QUARN_SOURCE_DIR"); }
        }

        internal static string Environment(string name)
        {
            var value = System.Environment.GetEnvironmentVariable(name);
            if (string.IsNullOrEmpty(value))
            {
                Assert.Ignore(name + " is not set: ctest sets it when the program is built");
            }
            return value;
        }

        internal static string TempDir()
        {
            var dir = Path.Combine(Path.GetTempPath(),
                                   "quarn-dotnet-" + Guid.NewGuid().ToString("N"));
            Directory.CreateDirectory(dir);
            return dir;
        }

        // Runs a program to its end within a minute: its exit code, output and error output.
        internal static Tuple<int, string, string> RunAll(string program, string arguments)
        {
            var start = new ProcessStartInfo(program, arguments)
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            using (var process = Process.Start(start))
            {
                var error = process.StandardError.ReadToEndAsync();
                var output = process.StandardOutput.ReadToEnd();
                Assert.IsTrue(process.WaitForExit(60000), program + " " + arguments + " hangs");
                return Tuple.Create(process.ExitCode, output, error.Result);
            }
        }

        // Runs a program that must succeed; returns its standard output.
        internal static string Run(string program, string arguments)
        {
            var result = RunAll(program, arguments);
            Assert.AreEqual(0, result.Item1, program + " " + arguments + ": " + result.Item3);
            return result.Item2;
        }

        // The library's parser called straight, as a C host does, in pieces of at most 255.
        [DllImport("QuarnInterface", EntryPoint = "parse_port_data",
                   CallingConvention = CallingConvention.Cdecl)]
        private static extern byte ParsePortData(byte[] data, byte length, ushort[] channels,
                                                 ushort[] ports);

        internal static bool ParseDirectly(byte[] data, int offset, int count, ushort[] channels,
                                           ushort[] ports)
        {
            var decoded = false;
            for (var done = 0; done < count; done += 255)
            {
                var piece = new byte[Math.Min(255, count - done)];
                Array.Copy(data, offset + done, piece, 0, piece.Length);
                decoded |= ParsePortData(piece, (byte)piece.Length, channels, ports) != 0;
            }
            return decoded;
        }
    }
}
