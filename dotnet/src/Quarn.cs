using System;

namespace QuarnInterface
{
    /// <summary>
    /// The QuarnInterface library's functions and sizes: the two host commands, the HID report
    /// decoders and the SBUS conversion and encoders. The port-data stream is
    /// <see cref="PortDataParser"/>'s.
    /// </summary>
    /// <remarks>
    /// Each method checks the lengths of its arrays before anything reaches the library and
    /// returns a new array, which the caller owns. The constants carry the names of the
    /// library's C header (<c>QUARN_CHANNEL_COUNT</c> is <see cref="ChannelCount"/>) and its
    /// values. Every method may be called from any thread; only
    /// <see cref="EncodeSbusV2"/> shares state, its end-byte counter.
    /// </remarks>
    public static class Quarn
    {
        /// <summary>Major version of the library this binding was made for.</summary>
        public const int InterfaceVersionMajor = 1;
        /// <summary>Minor version of the library this binding was made for.</summary>
        public const int InterfaceVersionMinor = 0;
        /// <summary>Patch version of the library this binding was made for.</summary>
        public const int InterfaceVersionPatch = 0;
        /// <summary>The version as one number: major * 10000 + minor * 100 + patch.</summary>
        public const int InterfaceVersion =
            InterfaceVersionMajor * 10000 + InterfaceVersionMinor * 100 + InterfaceVersionPatch;

        /// <summary>Start byte of every port-data frame, 0xFA.</summary>
        public const byte FrameHead = 0xFA;
        /// <summary>Trailer of every port-data frame, 0x5F.</summary>
        public const byte FrameTail = 0x5F;
        /// <summary>Command byte of the upload request (host to device).</summary>
        public const byte CmdUploadRequest = 0xE5;
        /// <summary>Command byte of the stop command (host to device).</summary>
        public const byte CmdUploadStop = 0xE4;
        /// <summary>Command byte of a data frame (device to host).</summary>
        public const byte CmdPortData = 0xA5;

        /// <summary>Frame header: start byte, command and the 16-bit payload length.</summary>
        public const int FrameHeaderSize = 4;
        /// <summary>Frame trailer: one byte.</summary>
        public const int FrameTrailerSize = 1;
        /// <summary>Bytes of a frame around its payload.</summary>
        public const int FrameOverhead = FrameHeaderSize + FrameTrailerSize;
        /// <summary>The longest frame the parser can complete (its reassembly buffer).</summary>
        public const int MaxFrameSize = 500;
        /// <summary>The longest payload the parser can complete, 495 bytes.</summary>
        public const int MaxPayloadSize = MaxFrameSize - FrameOverhead;

        /// <summary>Channel values of a frame, <see cref="PortDataParser.Channels"/>.</summary>
        public const int ChannelCount = 12;
        /// <summary>Port values of a frame and of <see cref="PortDataParser.Ports"/>.</summary>
        public const int PortCount = 32;
        /// <summary>Ports come in two groups of this many, each an SBUS channel set.</summary>
        public const int PortGroupSize = 16;
        /// <summary>Payload type of a frame that carries the channels.</summary>
        public const int PayloadTypeChannels = 0;
        /// <summary>Payload type of a frame that carries the ports.</summary>
        public const int PayloadTypePorts = 1;
        /// <summary>Payload type of a frame that carries the channels and the ports.</summary>
        public const int PayloadTypeChannelsAndPorts = 2;

        /// <summary>Bytes of one value on the wire: 16 bits, low byte first.</summary>
        public const int ValueSize = 2;
        /// <summary>Bytes of the type byte at the start of every payload.</summary>
        public const int PayloadTypeSize = 1;
        /// <summary>Payload offset of the first value of every payload type.</summary>
        public const int PayloadValuesOffset = PayloadTypeSize;
        /// <summary>Bytes of the twelve channel values.</summary>
        public const int ChannelsSize = ChannelCount * ValueSize;
        /// <summary>Bytes of one group of sixteen port values.</summary>
        public const int PortGroupBytes = PortGroupSize * ValueSize;
        /// <summary>Bytes of the 32 port values.</summary>
        public const int PortsSize = PortCount * ValueSize;
        /// <summary>Unused bytes between the channels and the ports of a type-2 payload.</summary>
        public const int Type2GapSize = 6;
        /// <summary>Length of a type-0 payload (channels).</summary>
        public const int Type0PayloadSize = PayloadValuesOffset + ChannelsSize;
        /// <summary>Length of a type-1 payload (ports).</summary>
        public const int Type1PayloadSize = PayloadValuesOffset + PortsSize;
        /// <summary>Payload offset of the first port value of a type-2 payload.</summary>
        public const int Type2PortsOffset = Type0PayloadSize + Type2GapSize;
        /// <summary>Length of a type-2 payload (channels and ports).</summary>
        public const int Type2PayloadSize = Type2PortsOffset + PortsSize;

        /// <summary>Length of the upload request, <see cref="RequestUploadPortData"/>.</summary>
        public const int UploadRequestSize = FrameOverhead + 2;
        /// <summary>Length of the stop command, <see cref="StopUploadPortData"/>.</summary>
        public const int UploadStopSize = FrameOverhead;

        /// <summary>Length of a HID game-controller report.</summary>
        public const int HidGameControllerReportSize = 19;
        /// <summary>Values decoded from a HID game-controller report.</summary>
        public const int ControllerValueCount = 11;
        /// <summary>Offset of the first channel value in a HID compatible-device report.</summary>
        public const int HidCompatibleValuesOffset = 4;
        /// <summary>Length of a HID compatible-device report.</summary>
        public const int HidCompatibleReportSize = HidCompatibleValuesOffset + ChannelsSize + 1;

        /// <summary>Channels of an SBUS channel set and frame.</summary>
        public const int SbusChannelCount = 16;
        /// <summary>Bits of one SBUS channel.</summary>
        public const int SbusChannelBits = 11;
        /// <summary>The largest SBUS value; the encoders send larger values as this.</summary>
        public const int SbusChannelMax = 2047;
        /// <summary>Byte 0 of every SBUS frame, which <see cref="EncodeSbusV1"/> and
        /// <see cref="EncodeSbusV2"/> set.</summary>
        public const byte SbusStartByte = 0x0F;
        /// <summary>Offset of the packed channels in an SBUS frame.</summary>
        public const int SbusChannelsOffset = 1;
        /// <summary>Bytes of the 16 packed channels.</summary>
        public const int SbusChannelsSize = SbusChannelCount * SbusChannelBits / 8;
        /// <summary>Offset of the flags byte in an SBUS frame.</summary>
        public const int SbusFlagsByte = SbusChannelsOffset + SbusChannelsSize;
        /// <summary>Offset of the end byte in an SBUS frame.</summary>
        public const int SbusEndByte = SbusFlagsByte + 1;
        /// <summary>Length of an SBUS frame.</summary>
        public const int SbusFrameSize = SbusEndByte + 1;

        /// <summary>The most bytes one call of the library takes: its lengths are 8-bit.</summary>
        public const int MaxChunkSize = byte.MaxValue;
        /// <summary>
        /// Zero bytes that empty the library's reassembly state: no frame claims more than
        /// <see cref="MaxFrameSize"/> bytes, and a zero is never a start byte nor a trailer.
        /// </summary>
        public const int NewStreamFlushSize = 2 * MaxChunkSize;

        /// <summary>
        /// Returns the upload request, which asks the device to start streaming port data:
        /// FA E5 02 00 <paramref name="first"/> <paramref name="second"/> 5F.
        /// </summary>
        /// <param name="first">First request byte, sent unchanged.</param>
        /// <param name="second">Second request byte, sent unchanged.</param>
        /// <returns>The <see cref="UploadRequestSize"/> (7) bytes to send.</returns>
        public static byte[] RequestUploadPortData(byte first, byte second)
        {
            var output = new byte[UploadRequestSize];
            NativeMethods.RequestUploadPortData(output, first, second);
            return output;
        }

        /// <summary>Returns the stop command FA E4 00 00 5F, which ends the stream.</summary>
        /// <returns>The <see cref="UploadStopSize"/> (5) bytes to send.</returns>
        public static byte[] StopUploadPortData()
        {
            var output = new byte[UploadStopSize];
            NativeMethods.StopUploadPortData(output);
            return output;
        }

        /// <summary>
        /// Decodes a HID game-controller report into its 11 values: values 0 to 2, 9 and 10 are
        /// 16-bit, 3 to 7 are 12-bit and 8 is 4-bit.
        /// </summary>
        /// <param name="report">The input report as read from the device.</param>
        /// <returns>
        /// <see cref="ControllerValueCount"/> (11) values, or <c>null</c> when the report is
        /// refused: any length other than <see cref="HidGameControllerReportSize"/> (19).
        /// </returns>
        /// <exception cref="ArgumentNullException"><paramref name="report"/> is null.</exception>
        public static ushort[] ParseHidGameController(byte[] report)
        {
            return DecodeReport(report, ControllerValueCount,
                                NativeMethods.ParseHidGameControllerDevice);
        }

        /// <summary>Decodes a HID compatible-device report into the 12 channel values.</summary>
        /// <param name="report">The input report as read from the device.</param>
        /// <returns>
        /// <see cref="ChannelCount"/> (12) values, or <c>null</c> when the report is refused: a
        /// length other than <see cref="HidCompatibleReportSize"/> (29), or a first byte other
        /// than 0xFA.
        /// </returns>
        /// <exception cref="ArgumentNullException"><paramref name="report"/> is null.</exception>
        public static ushort[] ParseHidCompatible(byte[] report)
        {
            return DecodeReport(report, ChannelCount, NativeMethods.ParseHidCompatibleDevice);
        }

        private delegate byte ReportDecoder(ushort[] values, byte[] report, byte length);

        private static ushort[] DecodeReport(byte[] report, int count, ReportDecoder decode)
        {
            RequireNotNull(report, nameof(report));
            // The library takes an 8-bit length: a longer report must not reach it cut short.
            if (report.Length > MaxChunkSize)
            {
                return null;
            }
            var values = new ushort[count];
            return decode(values, report, (byte)report.Length) != 0 ? values : null;
        }

        /// <summary>
        /// Scales 16 values from the device's standard range to SBUS: each becomes value * 1.706
        /// truncated, at most <see cref="SbusChannelMax"/>; 600 gives 1023, 1200 and above 2047.
        /// </summary>
        /// <param name="values"><see cref="SbusChannelCount"/> (16) values.</param>
        /// <returns>The 16 scaled values.</returns>
        /// <exception cref="ArgumentException"><paramref name="values"/> does not hold 16
        /// values.</exception>
        public static ushort[] ConvertStdSbus(ushort[] values)
        {
            RequireLength(values, SbusChannelCount, nameof(values));
            var converted = new ushort[SbusChannelCount];
            NativeMethods.ConvertStdSbusData(converted, values);
            return converted;
        }

        /// <summary>
        /// Packs 16 channels into an SBUS frame with end byte 0: byte 0 is
        /// <see cref="SbusStartByte"/>, bytes 1 to 22 the channels, 11 bits each, least
        /// significant bit first, byte 23 the flags (0). A value above
        /// <see cref="SbusChannelMax"/> is sent as 2047.
        /// </summary>
        /// <param name="channels"><see cref="SbusChannelCount"/> (16) channel values.</param>
        /// <returns>The <see cref="SbusFrameSize"/> (25) bytes of the frame.</returns>
        /// <exception cref="ArgumentException"><paramref name="channels"/> does not hold 16
        /// values.</exception>
        public static byte[] EncodeSbusV1(ushort[] channels)
        {
            RequireLength(channels, SbusChannelCount, nameof(channels));
            var frame = NewSbusFrame();
            NativeMethods.EncodeSbusDataV1(frame, channels);
            return frame;
        }

        /// <summary>
        /// As <see cref="EncodeSbusV1"/>, with an end byte that cycles 0x04, 0x14, 0x24, 0x34
        /// from call to call. The cycle position belongs to the process, not to the caller;
        /// concurrent callers never repeat or skip an end byte.
        /// </summary>
        /// <param name="channels"><see cref="SbusChannelCount"/> (16) channel values.</param>
        /// <returns>The <see cref="SbusFrameSize"/> (25) bytes of the frame.</returns>
        /// <exception cref="ArgumentException"><paramref name="channels"/> does not hold 16
        /// values; the end-byte cycle does not advance then.</exception>
        public static byte[] EncodeSbusV2(ushort[] channels)
        {
            RequireLength(channels, SbusChannelCount, nameof(channels));
            var frame = NewSbusFrame();
            NativeMethods.EncodeSbusDataV2(frame, channels);
            return frame;
        }

        private static byte[] NewSbusFrame()
        {
            var frame = new byte[SbusFrameSize];
            frame[0] = SbusStartByte;
            return frame;
        }

        internal static void RequireNotNull(object value, string name)
        {
            if (value == null)
            {
                throw new ArgumentNullException(name);
            }
        }

        private static void RequireLength(ushort[] values, int expected, string name)
        {
            RequireNotNull(values, name);
            if (values.Length != expected)
            {
                throw new ArgumentException(
                    name + " holds " + values.Length + " values; expected " + expected, name);
            }
        }
    }
}
