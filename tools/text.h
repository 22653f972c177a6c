// Small text helpers shared by the tools: printf-style formatting into a
// std::string, and JSON strings, arrays of integers and booleans.
#ifndef QUARN_TOOLS_TEXT_H
#define QUARN_TOOLS_TEXT_H

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

namespace quarn::tools {

// printf into a string; an encoding error gives an empty string. C varargs
// on purpose: the format attribute lets the compiler check every call.
// NOLINTNEXTLINE(cert-dcl50-cpp)
__attribute__((format(printf, 1, 2))) inline std::string format(const char *fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out;
    if (size > 0) {
        out.resize(static_cast<size_t>(size) + 1);
        if (std::vsnprintf(out.data(), out.size(), fmt, again) == size) {
            out.resize(static_cast<size_t>(size));
        } else {
            out.clear();
        }
    }
    va_end(again);
    return out;
}

// A JSON string: quotes, backslashes and control characters escaped. The
// text is taken to be UTF-8, as the kernel's and the tools' own strings are.
inline std::string json_string(const std::string &text) {
    constexpr unsigned char kFirstPrintable = 0x20;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < kFirstPrintable) {
            out += format("\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// Appends values as a JSON array: [1,2,3]. Numbers need no escaping.
template <typename T> void append_json_array(std::string &out, const T *values, size_t count) {
    out += '[';
    for (size_t i = 0; i < count; ++i) {
        if (i != 0) {
            out += ',';
        }
        out += std::to_string(values[i]);
    }
    out += ']';
}

inline const char *json_bool(bool value) {
    return value ? "true" : "false";
}

} // namespace quarn::tools

#endif
