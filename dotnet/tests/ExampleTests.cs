using System.IO;
using NUnit.Framework;
using static QuarnInterface.Tests.Support;

namespace QuarnInterface.Tests
{
    // dotnet/examples/Monitor.cs, compiled by the build against the assembly as a user's
    // program is. Mono's SerialPort asks every port for its modem lines, which a pseudo-terminal
    // does not have, so the streaming loop needs a real serial port; its usage and its refusal
    // of a port that cannot be opened are checked here.
    [TestFixture]
    public class ExampleTests
    {
        [TestCase("", 2, "usage: Monitor PORT [BAUD]")]
        [TestCase("/dev/ttyUSB0 fast", 2, "usage: Monitor PORT [BAUD]")]
        [TestCase("/nonexistent/ttyQ0", 3, "Monitor: cannot open /nonexistent/ttyQ0: ")]
        public void MonitorRefusesWhatItCannotUse(string arguments, int exit, string message)
        {
            var example = Environment("QUARN_MONITOR_EXAMPLE");
            var result = RunAll("mono", example + " " + arguments);
            Assert.AreEqual(exit, result.Item1, result.Item3);
            StringAssert.StartsWith(message, result.Item3);
            Assert.AreEqual("", result.Item2);
        }
    }
}
