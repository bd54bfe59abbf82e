#include "ViewportCore/CanonicalText.h"

#include <utf8proc.h>

#include <cstdlib>
#include <functional>
#include <memory>

namespace mivodrell {

namespace {

// ASCII text is its own canonical decomposition.
bool isAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::string canonicalDecomposition(std::string_view text) {
    if (isAscii(text)) return std::string(text);
    utf8proc_uint8_t* mapped = nullptr;
    const utf8proc_ssize_t length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
                     &mapped, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE));
    const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owner(mapped, &std::free);
    if (length < 0 || mapped == nullptr) return std::string(text);
    return std::string(reinterpret_cast<const char*>(mapped), static_cast<std::size_t>(length));
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (isAscii(a) && isAscii(b)) return false;
    return canonicalDecomposition(a) == canonicalDecomposition(b);
}

std::size_t canonicalHash(std::string_view text) {
    if (isAscii(text)) return std::hash<std::string_view>{}(text);
    return std::hash<std::string>{}(canonicalDecomposition(text));
}

}  // namespace mivodrell
