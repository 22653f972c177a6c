// Shows what a Quarn device streams over a serial port, until Ctrl-C.
//
//   Monitor PORT [BAUD]        e.g. Monitor COM3, Monitor /dev/ttyUSB0 115200
//
// It opens the port, asks the device to stream, prints the values of every update and, on
// Ctrl-C, sends the stop command before it closes the port, so the device is never left
// streaming. On .NET 6 and later, System.IO.Ports comes from the NuGet package of that name;
// .NET Framework and Mono have it built in.
using System;
using System.IO;
using System.IO.Ports;
using System.Threading;
using QuarnInterface;

internal static class Monitor
{
    private const int DefaultBaud = 115200;
    private const int ReadTimeoutMilliseconds = 100;

    private static int Main(string[] args)
    {
        var baud = DefaultBaud;
        if (args.Length < 1 || args.Length > 2 ||
            (args.Length == 2 && !int.TryParse(args[1], out baud)))
        {
            Console.Error.WriteLine("usage: Monitor PORT [BAUD] (default " + DefaultBaud + ")");
            return 2;
        }
        var stopRequested = new ManualResetEvent(false);
        Console.CancelKeyPress += (sender, e) =>
        {
            e.Cancel = true; // end the loop below, which stops the device
            stopRequested.Set();
        };

        using (var port = new SerialPort(args[0], baud, Parity.None, 8, StopBits.One))
        {
            port.ReadTimeout = ReadTimeoutMilliseconds;
            try
            {
                port.Open();
            }
            catch (Exception e) when (e is IOException || e is UnauthorizedAccessException)
            {
                Console.Error.WriteLine("Monitor: cannot open " + args[0] + ": " + e.Message);
                return 3;
            }
            var parser = new PortDataParser();
            var request = Quarn.RequestUploadPortData(0, 0);
            port.Write(request, 0, request.Length);

            var buffer = new byte[4096];
            while (!stopRequested.WaitOne(0))
            {
                int received;
                try
                {
                    received = port.Read(buffer, 0, buffer.Length);
                }
                catch (TimeoutException)
                {
                    continue;
                }
                if (parser.Feed(buffer, 0, received))
                {
                    Console.WriteLine("channels " + string.Join(" ", parser.Channels));
                    Console.WriteLine("ports    " + string.Join(" ", parser.Ports));
                }
            }

            var stop = Quarn.StopUploadPortData();
            port.Write(stop, 0, stop.Length);
        }
        return 0;
    }
}
