#pragma once
// Compact JSON output appended to a std::string: no whitespace, numbers in their shortest
// round-trip form, "/" escaped as "\/", other non-ASCII text as raw UTF-8.
//
// A NaN or infinite double, or a string that is not valid UTF-8, throws EncodingError; the
// caller rolls its output back.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace mivodrell {

class JSONWriter {
public:
    explicit JSONWriter(std::string& out) : out_(out) {}

    void beginObject() {
        separate();
        out_.push_back('{');
        needsComma_ = false;
    }
    void endObject() {
        out_.push_back('}');
        needsComma_ = true;
    }
    void beginArray() {
        separate();
        out_.push_back('[');
        needsComma_ = false;
    }
    void endArray() {
        out_.push_back(']');
        needsComma_ = true;
    }
    // A member name (plain ASCII without characters that need escaping, as all names of the
    // wire model are); the member's value follows.
    void key(std::string_view name) {
        separate();
        out_.push_back('"');
        out_.append(name);
        out_.append("\":", 2);
        needsComma_ = false;
    }

    void boolean(bool value) {
        separate();
        if (value) {
            out_.append("true", 4);
        } else {
            out_.append("false", 5);
        }
        needsComma_ = true;
    }
    void null() {
        separate();
        out_.append("null", 4);
        needsComma_ = true;
    }
    void integer(std::int64_t value);
    void unsignedInteger(std::uint64_t value);
    // Throws EncodingError for NaN and infinities.
    void number(double value);
    // Throws EncodingError when `value` is not valid UTF-8.
    void string(std::string_view value);
    // Standard padded Base64 in a string.
    void base64(std::span<const std::uint8_t> bytes);

    std::string& output() { return out_; }

private:
    void separate() {
        if (needsComma_) out_.push_back(',');
    }

    std::string& out_;
    bool needsComma_ = false;
};

}  // namespace mivodrell
