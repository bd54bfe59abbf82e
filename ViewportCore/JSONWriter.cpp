#include "ViewportCore/JSONWriter.h"

#include "Platform/Base/Narrowing.h"
#include "ViewportCore/Base64.h"
#include "ViewportCore/EncodingError.h"

#include <fmt/format.h>
#include <utf8proc.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <optional>

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

// Writes the escape of `c` into `out` (room for 6); returns its length.
std::size_t writeEscape(char* out, unsigned char c) {
    out[0] = '\\';
    switch (c) {
        case '"': out[1] = '"'; return 2;
        case '\\': out[1] = '\\'; return 2;
        case '/': out[1] = '/'; return 2;
        case '\b': out[1] = 'b'; return 2;
        case '\f': out[1] = 'f'; return 2;
        case '\n': out[1] = 'n'; return 2;
        case '\r': out[1] = 'r'; return 2;
        case '\t': out[1] = 't'; return 2;
        default: {
            static constexpr char hex[] = "0123456789abcdef";
            out[1] = 'u';
            out[2] = '0';
            out[3] = '0';
            out[4] = hex[c >> 4];
            out[5] = hex[c & 15];
            return 6;
        }
    }
}

// Writes a finite double in its shortest round-trip form and returns the end (room for 32):
// the fewest significant digits (Dragonbox), in fixed or exponent notation, whichever is
// shorter (fixed on a tie), as std::to_chars does: "0.1", "1e+20", "5e-324".
char* writeShortest(char* out, double value) {
    if (value == 0) {
        if (std::signbit(value)) *out++ = '-';
        *out++ = '0';
        return out;
    }
    if (value < 0) {
        *out++ = '-';
        value = -value;
    }
    const auto decimal = fmt::detail::dragonbox::to_decimal(value);
    char digits[48] = {};
    const auto digitCount = static_cast<int>(std::to_chars(digits, digits + sizeof digits, decimal.significand).ptr - digits);
    const int exponent = decimal.exponent;                   // value = significand * 10^exponent
    const int leading = exponent + digitCount - 1;           // exponent of the first digit
    const auto copy = [&](const char* from, int count) {
        json_writer_detail::copyShort(out, from, static_cast<std::size_t>(count));
        out += count;
    };
    const int magnitude = leading < 0 ? -leading : leading;
    const int exponentLength = digitCount + (digitCount > 1 ? 1 : 0) + 2 + (magnitude >= 100 ? 3 : 2);
    const int fixedLength = exponent >= 0                    ? digitCount + exponent
                            : digitCount + exponent > 0     ? digitCount + 1
                                                            : 2 - (digitCount + exponent) + digitCount;
    if (exponentLength < fixedLength) {
        *out++ = digits[0];
        if (digitCount > 1) {
            *out++ = '.';
            copy(digits + 1, digitCount - 1);
        }
        *out++ = 'e';
        *out++ = leading < 0 ? '-' : '+';
        if (magnitude < 10) *out++ = '0';
        return std::to_chars(out, out + 4, magnitude).ptr;
    }
    if (exponent >= 0) {
        copy(digits, digitCount);
        for (int i = 0; i < exponent; ++i) *out++ = '0';
        return out;
    }
    const int integerDigits = digitCount + exponent;
    if (integerDigits > 0) {
        copy(digits, integerDigits);
        *out++ = '.';
        copy(digits + integerDigits, digitCount - integerDigits);
        return out;
    }
    *out++ = '0';
    *out++ = '.';
    for (int i = integerDigits; i < 0; ++i) *out++ = '0';
    copy(digits, digitCount);
    return out;
}

}  // namespace

void JSONWriter::flush() {
    out_.append(staging_, used_);
    used_ = 0;
}

void JSONWriter::append(const char* data, std::size_t n) {
    if (kStaging - used_ >= n) {
        json_writer_detail::copyShort(staging_ + used_, data, n);
        used_ += n;
        return;
    }
    flush();
    out_.append(data, n);
}

void JSONWriter::integer(std::int64_t value) {
    char* p = reserve(24);
    if (needsComma_) *p++ = ',';
    commit(std::to_chars(p, staging_ + kStaging, value).ptr);
    needsComma_ = true;
}

void JSONWriter::unsignedInteger(std::uint64_t value) {
    char* p = reserve(24);
    if (needsComma_) *p++ = ',';
    commit(std::to_chars(p, staging_ + kStaging, value).ptr);
    needsComma_ = true;
}

void JSONWriter::number(double value) {
    if (!std::isfinite(value)) {
        const char* name = std::isnan(value) ? "Double.nan" : (value > 0 ? "Double.infinity" : "-Double.infinity");
        throw EncodingError({}, std::string("Unable to encode ") + name + " directly in JSON.");
    }
    char* p = reserve(40);
    if (needsComma_) *p++ = ',';
    // Shortest text that reads back as the same double: "384", "0.1", "1e+20", "-0". Whole
    // values below 2^53 (the common case of coordinates and sizes) take the integer path.
    constexpr double kExactLimit = 9007199254740992.0;
    const std::optional<std::int64_t> whole = std::fabs(value) < kExactLimit ? exactInteger<std::int64_t>(value)
                                                                             : std::nullopt;
    if (whole && !(*whole == 0 && std::signbit(value))) {
        commit(std::to_chars(p, staging_ + kStaging, *whole).ptr);
    } else {
        commit(writeShortest(p, value));
    }
    needsComma_ = true;
}

void JSONWriter::string(std::string_view value) {
    const std::size_t valid = validUTF8Prefix(value);
    if (valid != value.size()) {
        throw EncodingError({}, "Unable to encode a string that is not valid UTF-8 (byte " + std::to_string(valid) +
                                    ").");
    }
    char* p = reserve(2);
    if (needsComma_) *p++ = ',';
    *p++ = '"';
    commit(p);
    const char* run = value.data();
    const char* const end = value.data() + value.size();
    for (const char* c = run; c != end; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (needsEscape(byte)) {
            append(run, static_cast<std::size_t>(c - run));
            char escape[6];
            append(escape, writeEscape(escape, byte));
            run = c + 1;
        }
    }
    append(run, static_cast<std::size_t>(end - run));
    append("\"", 1);
    needsComma_ = true;
}

void JSONWriter::base64(std::span<const std::uint8_t> bytes) {
    char* p = reserve(2);
    if (needsComma_) *p++ = ',';
    *p++ = '"';
    commit(p);
    flush();
    // The alphabet's "/" is escaped like any other, so the text is built first.
    const std::size_t start = out_.size();
    Base64::encode(bytes, out_);
    const std::size_t slashes = static_cast<std::size_t>(std::count(out_.begin() + static_cast<std::ptrdiff_t>(start), out_.end(), '/'));
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
    append("\"", 1);
    needsComma_ = true;
}

}  // namespace mivodrell
