#include "ViewportCore/InputValueJSON.h"

namespace mivodrell {

namespace {

template <class Raw>
[[noreturn]] void throwNoCase(const CodingPathLink& at, std::string_view type, std::string_view rawType, Raw raw) {
    throwDataCorrupted(at, "Cannot initialize " + std::string(type) + " from invalid " + std::string(rawType) +
                               " value " + std::to_string(raw));
}

}  // namespace

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, MouseButton& out) {
    std::uint8_t raw = 0;
    decodeJSONValue(node, at, raw);
    const std::optional<MouseButton> value = mouseButtonFromRawValue(raw);
    if (!value) throwNoCase(at, "MouseButton", "UInt8", raw);
    out = *value;
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, ScrollPhase& out) {
    std::uint8_t raw = 0;
    decodeJSONValue(node, at, raw);
    const std::optional<ScrollPhase> value = scrollPhaseFromRawValue(raw);
    if (!value) throwNoCase(at, "ScrollPhase", "UInt8", raw);
    out = *value;
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, KeyModifiers& out) {
    std::uint32_t raw = 0;
    decodeJSONValue(node, at, raw);
    out = KeyModifiers(raw);
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, VirtualKey& out) {
    std::uint16_t raw = 0;
    decodeJSONValue(node, at, raw);
    const std::optional<VirtualKey> value = virtualKeyFromRawValue(raw);
    if (!value) throwNoCase(at, "VirtualKey", "UInt16", raw);
    out = *value;
}

}  // namespace mivodrell
