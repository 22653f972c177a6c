using System.Runtime.InteropServices;

namespace QuarnInterface
{
    // The eight exported functions, declared with the header's C types: uint8_t is byte,
    // uint16_t is ushort, and each pointer is an array of the size the header states
    // (controller_state is eleven consecutive uint16_t, so ushort[11]). Blittable arrays are
    // pinned for the call, so the library writes straight into them. Every caller checks
    // lengths first: the library trusts the sizes it is given.
    internal static class NativeMethods
    {
        // QuarnInterface.dll on Windows. On Linux, Mono follows the dllmap in
        // QuarnInterface.Net.dll.config to libQuarnInterface.so.1, and .NET finds
        // libQuarnInterface.so, which the package carries beside the .so.1.
        internal const string Library = "QuarnInterface";

        [DllImport(Library, EntryPoint = "request_upload_port_data", ExactSpelling = true,
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern void RequestUploadPortData([Out] byte[] output, byte first,
                                                          byte second);

        [DllImport(Library, EntryPoint = "stop_upload_port_data", ExactSpelling = true,
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern void StopUploadPortData([Out] byte[] output);

        [DllImport(Library, EntryPoint = "parse_port_data", ExactSpelling = true,
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern byte ParsePortData([In] byte[] data, byte length,
                                                  [In, Out] ushort[] channels,
                                                  [In, Out] ushort[] ports);

        [DllImport(Library, EntryPoint = "parse_hid_game_controller_device", ExactSpelling = true,
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern byte ParseHidGameControllerDevice([In, Out] ushort[] state,
                                                                 [In] byte[] report,
                                                                 byte length);

        [DllImport(Library, EntryPoint = "parse_hid_compatible_device", ExactSpelling = true,
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern byte ParseHidCompatibleDevice([In, Out] ushort[] channels,
                                                             [In] byte[] report, byte length);

        [DllImport(Library, EntryPoint = "convert_std_sbus_data", ExactSpelling = true,
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern void ConvertStdSbusData([Out] ushort[] destination,
                                                       [In] ushort[] source);

        [DllImport(Library, EntryPoint = "encode_sbus_data_v1", ExactSpelling = true,
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern void EncodeSbusDataV1([In, Out] byte[] frame,
                                                     [In] ushort[] channelSet);

        [DllImport(Library, EntryPoint = "encode_sbus_data_v2", ExactSpelling = true,
                   CallingConvention = CallingConvention.Cdecl)]
        internal static extern void EncodeSbusDataV2([In, Out] byte[] frame,
                                                     [In] ushort[] channelSet);
    }
}
