#include "ViewportCore/JSONWriter.h"

#include "ViewportCore/Base64.h"
#include "ViewportCore/EncodingError.h"

#include <utf8proc.h>

#include <charconv>
#include <cmath>

namespace mivodrell {

namespace {

// Which ASCII bytes need an escape: quote, backslash, slash and the control characters.
constexpr bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\' || c == '/'; }

// Length in bytes of the valid UTF-8 prefix of `text` (its size when all of it is valid).
std::size_t validUTF8Prefix(std::string_view text) {
    const auto* s = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            ++i;
            continue;
        }
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t step = utf8proc_iterate(s + i, static_cast<utf8proc_ssize_t>(n - i), &codePoint);
        if (step <= 0 || codePoint < 0) return i;
        i += static_cast<std::size_t>(step);
    }
    return n;
}

void appendEscape(std::string& out, unsigned char c) {
    switch (c) {
        case '"': out.append("\\\"", 2); return;
        case '\\': out.append("\\\\", 2); return;
        case '/': out.append("\\/", 2); return;
        case '\b': out.append("\\b", 2); return;
        case '\f': out.append("\\f", 2); return;
        case '\n': out.append("\\n", 2); return;
        case '\r': out.append("\\r", 2); return;
        case '\t': out.append("\\t", 2); return;
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            const char escape[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
            out.append(escape, 6);
        }
    }
}

}  // namespace

void JSONWriter::integer(std::int64_t value) {
    separate();
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
    needsComma_ = true;
}

void JSONWriter::unsignedInteger(std::uint64_t value) {
    separate();
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
    needsComma_ = true;
}

void JSONWriter::number(double value) {
    if (!std::isfinite(value)) {
        const char* name = std::isnan(value) ? "Double.nan" : (value > 0 ? "Double.infinity" : "-Double.infinity");
        throw EncodingError({}, std::string("Unable to encode ") + name + " directly in JSON.");
    }
    separate();
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
    needsComma_ = true;
}

void JSONWriter::string(std::string_view value) {
    const std::size_t valid = validUTF8Prefix(value);
    if (valid != value.size()) {
        throw EncodingError({}, "Unable to encode a string that is not valid UTF-8 (byte " + std::to_string(valid) +
                                    ").");
    }
    separate();
    out_.push_back('"');
    const char* run = value.data();
    const char* const end = value.data() + value.size();
    for (const char* p = run; p != end; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (needsEscape(c)) {
            out_.append(run, p);
            appendEscape(out_, c);
            run = p + 1;
        }
    }
    out_.append(run, end);
    out_.push_back('"');
    needsComma_ = true;
}

void JSONWriter::base64(std::span<const std::uint8_t> bytes) {
    separate();
    out_.push_back('"');
    // The alphabet's "/" is escaped like any other, so the text is built first.
    const std::size_t start = out_.size();
    Base64::encode(bytes, out_);
    std::size_t slashes = 0;
    for (std::size_t i = start; i < out_.size(); ++i) slashes += out_[i] == '/';
    if (slashes != 0) {
        const std::size_t plain = out_.size() - start;
        out_.resize(out_.size() + slashes);
        // Spread backwards, inserting a backslash before every slash.
        std::size_t to = out_.size();
        for (std::size_t from = start + plain; from > start;) {
            const char c = out_[--from];
            out_[--to] = c;
            if (c == '/') out_[--to] = '\\';
        }
    }
    out_.push_back('"');
    needsComma_ = true;
}

}  // namespace mivodrell
