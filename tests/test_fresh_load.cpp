// The library as an FFI host sees it: loaded at run time, bound by name, with
// its state fresh after loading. Each test loads its own copy of the shared
// object under a new file name, which the loader treats as a separate library
// with separate static state. This program is not linked to the library.
#include "quarn_exports.h"
#include "support.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <string>

using namespace quarn_test;

namespace {

class FreshLibrary {
  public:
    FreshLibrary() {
        std::string name = (std::filesystem::temp_directory_path() / "quarn-fresh-XXXXXX").string();
        const int fd = mkstemp(name.data());
        if (fd >= 0) {
            close(fd);
            path_ = name;
            std::filesystem::copy_file(QUARN_LIBRARY_PATH, path_,
                                       std::filesystem::copy_options::overwrite_existing);
            handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        }
    }
    ~FreshLibrary() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
        if (!path_.empty()) {
            std::filesystem::remove(path_);
        }
    }
    FreshLibrary(const FreshLibrary &) = delete;
    FreshLibrary &operator=(const FreshLibrary &) = delete;

    bool loaded() const {
        return handle_ != nullptr;
    }
    template <typename Fn> Fn *get(const char *name) const {
        return reinterpret_cast<Fn *>(dlsym(handle_, name));
    }

  private:
    std::filesystem::path path_;
    void *handle_ = nullptr;
};

} // namespace

TEST(FreshLoad, ExportsEveryFunctionByName) {
    const FreshLibrary lib;
    ASSERT_TRUE(lib.loaded()) << dlerror();
    for (const quarn_export &e : quarn_exports) {
        EXPECT_NE(lib.get<void>(e.name), nullptr) << e.name;
        // Loaded locally into a program not linked to it: no global binding.
        EXPECT_EQ(dlsym(RTLD_DEFAULT, e.name), nullptr) << e.name;
    }
}

TEST(FreshLoad, ParserStartsEmpty) {
    const FreshLibrary lib;
    ASSERT_TRUE(lib.loaded()) << dlerror();
    auto *parse = lib.get<decltype(parse_port_data)>("parse_port_data");
    ASSERT_NE(parse, nullptr);

    const Channels c = channels_from(0x1234);
    const Bytes f = data0(c);
    const std::size_t half = f.size() / 2;
    Channels out;
    out.fill(kSentinel16);
    // Only a parser holding the first half could complete the frame here.
    EXPECT_EQ(
        parse(f.data() + half, static_cast<std::uint8_t>(f.size() - half), out.data(), nullptr), 0);
    EXPECT_EQ(parse(f.data(), static_cast<std::uint8_t>(f.size()), out.data(), nullptr), 1);
    EXPECT_EQ(out, c);

    // The same halves in order do complete it.
    out.fill(kSentinel16);
    EXPECT_EQ(parse(f.data(), static_cast<std::uint8_t>(half), out.data(), nullptr), 0);
    EXPECT_EQ(
        parse(f.data() + half, static_cast<std::uint8_t>(f.size() - half), out.data(), nullptr), 1);
    EXPECT_EQ(out, c);
}

TEST(FreshLoad, V2EndByteSequenceStartsAt04) {
    const FreshLibrary lib;
    ASSERT_TRUE(lib.loaded()) << dlerror();
    auto *v1 = lib.get<decltype(encode_sbus_data_v1)>("encode_sbus_data_v1");
    auto *v2 = lib.get<decltype(encode_sbus_data_v2)>("encode_sbus_data_v2");
    ASSERT_TRUE(v1 != nullptr && v2 != nullptr);

    const SbusSet set{};
    SbusFrame f{};
    std::vector<std::uint8_t> ends;
    for (int call = 1; call <= 257; ++call) {
        v2(f.data(), set.data());
        ends.push_back(f[QUARN_SBUS_END_BYTE]);
        v1(f.data(), set.data());
    }
    const std::vector<std::uint8_t> first_six(ends.begin(), ends.begin() + 6);
    EXPECT_EQ(first_six, (std::vector<std::uint8_t>{0x04, 0x14, 0x24, 0x34, 0x04, 0x14}));
    EXPECT_EQ(ends[255], 0x34); // the 256th call
    EXPECT_EQ(ends[256], 0x04); // and the 257th, after the counter wrapped
}
