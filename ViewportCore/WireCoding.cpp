#include "ViewportCore/WireCoding.h"

#include "ViewportCore/Base64.h"
#include "ViewportCore/JSONNumber.h"

#include <algorithm>

namespace mivodrell {

CodingPath CodingPathLink::path() const {
    std::vector<const CodingPathLink*> links;
    for (const CodingPathLink* link = this; link != nullptr && link->index != kRoot; link = link->parent) {
        links.push_back(link);
    }
    CodingPath result;
    result.reserve(links.size());
    for (auto it = links.rbegin(); it != links.rend(); ++it) {
        const CodingPathLink& link = **it;
        result.push_back(link.index == kMember ? CodingKey::member(std::string(link.key)) : CodingKey::index(link.index));
    }
    return result;
}

void throwTypeMismatch(std::string_view type, const CodingPathLink& at, const JSONNode& found) {
    std::string description = "Expected to decode ";
    description += type;
    description += " but found ";
    description += found.kindDescription();
    description += " instead.";
    throw DecodingError::typeMismatch(std::string(type), at.path(), std::move(description));
}

void throwValueNotFound(std::string_view type, const CodingPathLink& at, std::string_view description) {
    throw DecodingError::valueNotFound(std::string(type), at.path(), std::string(description));
}

void throwNullValue(std::string_view type, const CodingPathLink& at) {
    throw DecodingError::valueNotFound(std::string(type), at.path(),
                                       "Expected " + std::string(type) + " value but found null instead.");
}

void throwKeyNotFound(std::string_view key, const CodingPathLink& objectPath) {
    throw DecodingError::keyNotFound(std::string(key), objectPath.path(),
                                     "No value associated with key \"" + std::string(key) + "\".");
}

void throwDataCorrupted(const CodingPathLink& at, std::string description) {
    throw DecodingError::dataCorrupted(at.path(), std::move(description));
}

void throwNumberDoesNotFit(std::string_view type, const CodingPathLink& at, const JSONNode& number) {
    // Hostile texts can be long; the description quotes at most the first 64 characters.
    std::string_view text = number.text();
    std::string shown(text.substr(0, 64));
    if (text.size() > 64) shown += "...";
    throw DecodingError::dataCorrupted(at.path(), "Parsed JSON number <" + shown + "> does not fit in " +
                                                      std::string(type) + ".");
}

void throwWrongCaseCount(std::string_view type, const CodingPathLink& at) {
    throw DecodingError::typeMismatch(std::string(type), at.path(), "Invalid number of keys found, expected one.");
}

void requireJSONObject(const JSONNode& node, const CodingPathLink& at, std::string_view type) {
    if (node.isObject()) return;
    if (node.isNull()) {
        throw DecodingError::valueNotFound(std::string(type), at.path(),
                                           "Cannot get keyed decoding container -- found null value instead.");
    }
    throwTypeMismatch(type, at, node);
}

namespace {

template <class T>
void decodeInteger(const JSONNode& node, const CodingPathLink& at, T& out, std::string_view type) {
    if (node.kind() != JSONNode::Kind::number) {
        if (node.isNull()) throwNullValue(type, at);
        throwTypeMismatch(type, at, node);
    }
    const std::optional<T> value = JSONNumber::integer<T>(node.text());
    if (!value) throwNumberDoesNotFit(type, at, node);
    out = *value;
}

void decodeDouble(const JSONNode& node, const CodingPathLink& at, double& out, std::string_view type) {
    if (node.kind() != JSONNode::Kind::number) {
        if (node.isNull()) throwNullValue(type, at);
        throwTypeMismatch(type, at, node);
    }
    const std::optional<double> value = JSONNumber::finiteDouble(node.text());
    if (!value) throwNumberDoesNotFit(type, at, node);
    out = *value;
}

// A point or size: an array whose first two elements are numbers; later elements are ignored.
void decodePair(const JSONNode& node, const CodingPathLink& at, double& first, double& second,
                std::string_view type) {
    if (!node.isArray()) {
        if (node.isNull()) throwNullValue(type, at);
        throwTypeMismatch(type, at, node);
    }
    auto element = node.children().begin();
    if (node.count() < 1) throwValueNotFound("CGFloat", at.element(0), "Unkeyed container is at end.");
    decodeDouble(*element, at.element(0), first, "CGFloat");
    ++element;
    if (node.count() < 2) throwValueNotFound("CGFloat", at.element(1), "Unkeyed container is at end.");
    decodeDouble(*element, at.element(1), second, "CGFloat");
}

void encodePair(JSONWriter& writer, double first, double second) {
    writer.beginArray();
    try {
        writer.number(first);
    } catch (const EncodingError& error) {
        throw error.prefixed(CodingKey::index(0));
    }
    try {
        writer.number(second);
    } catch (const EncodingError& error) {
        throw error.prefixed(CodingKey::index(1));
    }
    writer.endArray();
}

}  // namespace

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, bool& out) {
    if (node.kind() != JSONNode::Kind::boolean) {
        if (node.isNull()) throwNullValue("Bool", at);
        throwTypeMismatch("Bool", at, node);
    }
    out = node.boolValue();
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::int64_t& out) {
    decodeInteger(node, at, out, "Int");
}
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::int32_t& out) {
    decodeInteger(node, at, out, "Int32");
}
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::uint32_t& out) {
    decodeInteger(node, at, out, "UInt32");
}
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::uint16_t& out) {
    decodeInteger(node, at, out, "UInt16");
}
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::uint8_t& out) {
    decodeInteger(node, at, out, "UInt8");
}
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, double& out) {
    decodeDouble(node, at, out, "Double");
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::string& out) {
    if (node.kind() != JSONNode::Kind::string) {
        if (node.isNull()) throwNullValue("String", at);
        throwTypeMismatch("String", at, node);
    }
    out.assign(node.text());
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::vector<std::uint8_t>& out) {
    if (node.kind() != JSONNode::Kind::string) {
        if (node.isNull()) throwNullValue("Data", at);
        throwTypeMismatch("Data", at, node);
    }
    std::optional<std::vector<std::uint8_t>> bytes = Base64::decode(node.text());
    if (!bytes) throwDataCorrupted(at, "Encountered Data is not valid Base64.");
    out = std::move(*bytes);
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, CGPoint& out) {
    decodePair(node, at, out.x, out.y, "CGPoint");
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, CGSize& out) {
    decodePair(node, at, out.width, out.height, "CGSize");
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, CGRect& out) {
    if (!node.isArray()) {
        if (node.isNull()) throwNullValue("CGRect", at);
        throwTypeMismatch("CGRect", at, node);
    }
    auto element = node.children().begin();
    if (node.count() < 1) throwValueNotFound("CGPoint", at.element(0), "Unkeyed container is at end.");
    decodeJSONValue(*element, at.element(0), out.origin);
    ++element;
    if (node.count() < 2) throwValueNotFound("CGSize", at.element(1), "Unkeyed container is at end.");
    decodeJSONValue(*element, at.element(1), out.size);
}

void encodeJSONValue(JSONWriter& writer, CGPoint value) { encodePair(writer, value.x, value.y); }

void encodeJSONValue(JSONWriter& writer, CGSize value) { encodePair(writer, value.width, value.height); }

void encodeJSONValue(JSONWriter& writer, const CGRect& value) {
    writer.beginArray();
    try {
        encodeJSONValue(writer, value.origin);
    } catch (const EncodingError& error) {
        throw error.prefixed(CodingKey::index(0));
    }
    try {
        encodeJSONValue(writer, value.size);
    } catch (const EncodingError& error) {
        throw error.prefixed(CodingKey::index(1));
    }
    writer.endArray();
}

}  // namespace mivodrell
