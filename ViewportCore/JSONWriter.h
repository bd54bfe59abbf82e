#pragma once
// Compact JSON output appended to a std::string: no whitespace, numbers in their shortest
// round-trip form ("384", "0.1", "1e+20"), "/" escaped as "\/", other
// non-ASCII text as raw UTF-8.
//
// Output is staged in a small buffer and handed to the string by `finish()`. A NaN or infinite
// double, or a string that is not valid UTF-8, throws EncodingError; the caller then rolls its
// string back (see appendJSON in WireCoding.h).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace mivodrell {

namespace json_writer_detail {
// Copies n bytes with a few fixed-size moves (names and digits are short); memcpy above 32.
inline void copyShort(char* to, const char* from, std::size_t n) {
    if (n >= 8) {
        if (n > 32) {
            std::memcpy(to, from, n);
            return;
        }
        // Overlapping 8-byte moves cover 8 to 32 bytes.
        for (std::size_t i = 0; i + 8 < n; i += 8) std::memcpy(to + i, from + i, 8);
        std::memcpy(to + n - 8, from + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + n - 4, from + n - 4, 4);
    } else if (n > 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}
}  // namespace json_writer_detail

class JSONWriter {
public:
    explicit JSONWriter(std::string& out) : out_(out) {}
    JSONWriter(const JSONWriter&) = delete;
    JSONWriter& operator=(const JSONWriter&) = delete;

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }
    // A member name (plain ASCII without characters that need escaping, as all names of the
    // wire model are); the member's value follows.
    void key(std::string_view name) {
        char* p = reserve(name.size() + 4);
        if (needsComma_) *p++ = ',';
        *p++ = '"';
        json_writer_detail::copyShort(p, name.data(), name.size());
        p += name.size();
        *p++ = '"';
        *p++ = ':';
        commit(p);
        needsComma_ = false;
    }

    void boolean(bool value) { literal(value ? std::string_view("true") : std::string_view("false")); }
    void null() { literal("null"); }
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    // Throws EncodingError for NaN and infinities.
    void number(double value);
    // Throws EncodingError when `value` is not valid UTF-8.
    void string(std::string_view value);
    // Standard padded Base64 in a string.
    void base64(std::span<const std::uint8_t> bytes);

    // Appends everything written so far to the string.
    void finish() { flush(); }

private:
    static constexpr std::size_t kStaging = 256;

    char* reserve(std::size_t n) {
        if (kStaging - used_ < n) flush();
        return staging_ + used_;
    }
    void commit(const char* end) { used_ = static_cast<std::size_t>(end - staging_); }
    // Hands the staged bytes to the string (out of line: called once or twice per message).
    void flush();
    void append(const char* data, std::size_t n);
    void open(char bracket) {
        char* p = reserve(2);
        if (needsComma_) *p++ = ',';
        *p++ = bracket;
        commit(p);
        needsComma_ = false;
    }
    void close(char bracket) {
        char* p = reserve(1);
        *p++ = bracket;
        commit(p);
        needsComma_ = true;
    }
    void literal(std::string_view text) {
        char* p = reserve(text.size() + 1);
        if (needsComma_) *p++ = ',';
        std::memcpy(p, text.data(), text.size());
        commit(p + text.size());
        needsComma_ = true;
    }

    std::string& out_;
    std::size_t used_ = 0;
    bool needsComma_ = false;
    char staging_[kStaging];
};

}  // namespace mivodrell
