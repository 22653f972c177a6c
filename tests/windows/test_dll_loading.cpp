// QuarnInterface.dll as a Windows host or an FFI loads it: LoadLibrary, then
// GetProcAddress by name or by ordinal. This program is not linked to the DLL,
// so each LoadLibrary here really maps it and runs DllMain.
#include "QuarnInterface.h"
#include "quarn_exports.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr const char *kDllName = "QuarnInterface.dll";

class LoadedDll {
  public:
    LoadedDll() : module_(LoadLibraryA(kDllName)), error_(GetLastError()) {}
    ~LoadedDll() {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    LoadedDll(const LoadedDll &) = delete;
    LoadedDll &operator=(const LoadedDll &) = delete;

    HMODULE get() const {
        return module_;
    }
    DWORD error() const {
        return error_;
    }

  private:
    HMODULE module_;
    DWORD error_;
};

FARPROC by_ordinal(HMODULE module, WORD ordinal) {
    return GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
}

using EncodeFn = void (*)(std::uint8_t *, const std::uint16_t *);

std::uint8_t v2_end_byte(HMODULE module) {
    const auto encode = reinterpret_cast<EncodeFn>(GetProcAddress(module, "encode_sbus_data_v2"));
    std::uint8_t frame[QUARN_SBUS_FRAME_SIZE] = {};
    const std::uint16_t channels[QUARN_SBUS_CHANNEL_COUNT] = {};
    encode(frame, channels);
    return frame[QUARN_SBUS_END_BYTE];
}

DWORD WINAPI idle_thread(LPVOID /*parameter*/) {
    return 0;
}

} // namespace

TEST(DllExports, EachFunctionResolvesByNameAndByOrdinalToOneAddress) {
    LoadedDll dll;
    ASSERT_NE(dll.get(), nullptr) << "LoadLibrary failed, error " << dll.error();
    for (const quarn_export &e : quarn_exports) {
        const FARPROC named = GetProcAddress(dll.get(), e.name);
        EXPECT_NE(named, nullptr) << e.name;
        EXPECT_EQ(named, by_ordinal(dll.get(), e.ordinal)) << e.name << " @" << e.ordinal;
    }
}

TEST(DllExports, NothingElseResolves) {
    LoadedDll dll;
    ASSERT_NE(dll.get(), nullptr) << "LoadLibrary failed, error " << dll.error();
    const WORD next_ordinal = static_cast<WORD>(QUARN_EXPORT_COUNT + 1);
    EXPECT_EQ(by_ordinal(dll.get(), next_ordinal), nullptr);
    // DllMain stays private, and no name carries a cdecl underscore or a
    // stdcall @N suffix.
    for (const char *name : {"DllMain", "DllMain@12", "_parse_port_data", "parse_port_data@16",
                             "_encode_sbus_data_v1", "encode_sbus_data_v1@8"}) {
        EXPECT_EQ(GetProcAddress(dll.get(), name), nullptr) << name;
    }
}

TEST(DllLoading, EachLoadStartsWithFreshStateAndUnloadsCompletely) {
    for (int load = 0; load < 2; ++load) {
        {
            LoadedDll dll;
            ASSERT_NE(dll.get(), nullptr) << "LoadLibrary failed, error " << dll.error();
            EXPECT_EQ(v2_end_byte(dll.get()), 0x04) << "load " << load;
            EXPECT_EQ(v2_end_byte(dll.get()), 0x14) << "load " << load;
        }
        EXPECT_EQ(GetModuleHandleA(kDllName), nullptr) << "still mapped after FreeLibrary";
    }
}

TEST(DllLoading, ThreadsStartAndEndWhileLoaded) {
    LoadedDll dll;
    ASSERT_NE(dll.get(), nullptr) << "LoadLibrary failed, error " << dll.error();
    // Each thread start and end calls DllMain with a thread reason code.
    const HANDLE thread = CreateThread(nullptr, 0, idle_thread, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(v2_end_byte(dll.get()), 0x04);
}

TEST(DllVersion, ResourceCarriesTheHeaderVersion) {
    LoadedDll dll;
    ASSERT_NE(dll.get(), nullptr) << "LoadLibrary failed, error " << dll.error();
    char path[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(dll.get(), path, MAX_PATH), 0U);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    ASSERT_NE(size, 0U) << "no version resource in " << path;
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, info.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT fixed_size = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<LPVOID *>(&fixed), &fixed_size));
    EXPECT_EQ(HIWORD(fixed->dwFileVersionMS), QUARN_INTERFACE_VERSION_MAJOR);
    EXPECT_EQ(LOWORD(fixed->dwFileVersionMS), QUARN_INTERFACE_VERSION_MINOR);
    EXPECT_EQ(HIWORD(fixed->dwFileVersionLS), QUARN_INTERFACE_VERSION_PATCH);
    EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    char *text = nullptr;
    UINT text_size = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\FileVersion",
                               reinterpret_cast<LPVOID *>(&text), &text_size));
    const std::string expected = std::to_string(QUARN_INTERFACE_VERSION_MAJOR) + "." +
                                 std::to_string(QUARN_INTERFACE_VERSION_MINOR) + "." +
                                 std::to_string(QUARN_INTERFACE_VERSION_PATCH);
    EXPECT_EQ(std::string(text), expected);
}
