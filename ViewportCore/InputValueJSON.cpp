#include "ViewportCore/InputValueJSON.h"

namespace mivodrell {

namespace {

template <class Raw>
[[noreturn]] void throwNoCase(const CodingPathLink& at, std::string_view type, std::string_view rawType, Raw raw) {
    throwDataCorrupted(at, "Cannot initialize " + std::string(type) + " from invalid " + std::string(rawType) +
                               " value " + std::to_string(raw));
}

// Reads the raw value, then the case it names; a value naming no case is data corrupted.
template <class Raw, class FromRaw>
auto decodeCase(const JSONNode& node, const CodingPathLink& at, const char* type, const char* rawType,
                FromRaw fromRaw) {
    Raw raw = 0;
    decodeJSONValue(node, at, raw);
    const auto value = fromRaw(raw);
    if (!value) throwNoCase(at, type, rawType, raw);
    return *value;
}

}  // namespace

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, MouseButton& out) {
    out = decodeCase<std::uint8_t>(node, at, "MouseButton", "UInt8", mouseButtonFromRawValue);
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, ScrollPhase& out) {
    out = decodeCase<std::uint8_t>(node, at, "ScrollPhase", "UInt8", scrollPhaseFromRawValue);
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, KeyModifiers& out) {
    std::uint32_t raw = 0;
    decodeJSONValue(node, at, raw);
    out = KeyModifiers(raw);
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, VirtualKey& out) {
    out = decodeCase<std::uint16_t>(node, at, "VirtualKey", "UInt16", virtualKeyFromRawValue);
}

}  // namespace mivodrell
