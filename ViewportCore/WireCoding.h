#pragma once
// Reading, writing and comparing the values of the control messages.
//
// Every message or payload type keeps the JSON names of its members in one key table (built
// from `wireField`, `wireCase` and `wireRecord` below); reading, writing, equality and the
// coding paths of errors all go through that table.
//
// Value encoding: Bool as true/false; integers as whole numbers within their range; doubles as
// finite numbers; strings as strings; byte buffers as padded standard Base64; points and sizes
// as [a, b]; rectangles as [[x, y], [width, height]]; optionals left out when absent (a missing
// member and null both read as absent); arrays as arrays.
//
// Message shape: one object with exactly one member, named after the case, whose value is an
// object holding the case's fields by name (an empty object for a case without fields).

#include "Platform/Base/Geometry.h"
#include "ViewportCore/CanonicalText.h"
#include "ViewportCore/DecodingError.h"
#include "ViewportCore/EncodingError.h"
#include "ViewportCore/JSONDocument.h"
#include "ViewportCore/JSONWriter.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace mivodrell {

// ---------------------------------------------------------------------------------------------
// Coding paths while reading: links on the stack, turned into a CodingPath only on failure.

struct CodingPathLink {
    const CodingPathLink* parent = nullptr;
    std::string_view key;
    // Array position; kMember for a member name, kRoot for the message object itself.
    std::int64_t index = kRoot;

    static constexpr std::int64_t kRoot = -2;
    static constexpr std::int64_t kMember = -1;

    CodingPathLink member(std::string_view name) const { return {this, name, kMember}; }
    CodingPathLink element(std::int64_t position) const { return {this, {}, position}; }
    CodingPath path() const;
};

[[noreturn]] void throwTypeMismatch(std::string_view type, const CodingPathLink& at, const JSONNode& found);
[[noreturn]] void throwValueNotFound(std::string_view type, const CodingPathLink& at, std::string_view description);
[[noreturn]] void throwNullValue(std::string_view type, const CodingPathLink& at);
[[noreturn]] void throwKeyNotFound(std::string_view key, const CodingPathLink& objectPath);
[[noreturn]] void throwDataCorrupted(const CodingPathLink& at, std::string description);
[[noreturn]] void throwNumberDoesNotFit(std::string_view type, const CodingPathLink& at, const JSONNode& number);
[[noreturn]] void throwWrongCaseCount(std::string_view type, const CodingPathLink& at);

// ---------------------------------------------------------------------------------------------
// Values: reading (from a node at a path), writing, equality.

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, bool& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::int64_t& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::int32_t& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::uint32_t& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::uint16_t& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::uint8_t& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, double& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::string& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::vector<std::uint8_t>& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, CGPoint& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, CGSize& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, CGRect& out);

inline void encodeJSONValue(JSONWriter& writer, bool value) { writer.boolean(value); }
inline void encodeJSONValue(JSONWriter& writer, std::int64_t value) { writer.integer(value); }
inline void encodeJSONValue(JSONWriter& writer, std::int32_t value) { writer.integer(value); }
inline void encodeJSONValue(JSONWriter& writer, std::uint32_t value) { writer.unsignedInteger(value); }
inline void encodeJSONValue(JSONWriter& writer, std::uint16_t value) { writer.unsignedInteger(value); }
inline void encodeJSONValue(JSONWriter& writer, std::uint8_t value) { writer.unsignedInteger(value); }
inline void encodeJSONValue(JSONWriter& writer, double value) { writer.number(value); }
inline void encodeJSONValue(JSONWriter& writer, const std::string& value) { writer.string(value); }
inline void encodeJSONValue(JSONWriter& writer, const std::vector<std::uint8_t>& value) { writer.base64(value); }
void encodeJSONValue(JSONWriter& writer, CGPoint value);
void encodeJSONValue(JSONWriter& writer, CGSize value);
void encodeJSONValue(JSONWriter& writer, const CGRect& value);

// Equality by the value-comparison rules: IEEE doubles (NaN equals nothing, -0 equals +0), the
// platform's rectangle equality, canonically equivalent strings, optionals and arrays element by
// element. Types with their own == (payloads, input values, the topology) use it.
template <class T>
bool wireValuesEqual(const T& a, const T& b) {
    return a == b;
}
inline bool wireValuesEqual(const std::string& a, const std::string& b) { return canonicallyEqual(a, b); }

template <class T>
bool wireValuesEqual(const std::optional<T>& a, const std::optional<T>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a.has_value() || wireValuesEqual(*a, *b);
}

template <class T>
bool wireValuesEqual(const std::vector<T>& a, const std::vector<T>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!wireValuesEqual(a[i], b[i])) return false;
    }
    return true;
}
inline bool wireValuesEqual(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) { return a == b; }

// Arrays.
template <class T>
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, std::vector<T>& out) {
    if (!node.isArray()) {
        if (node.isNull()) throwNullValue("Array", at);
        throwTypeMismatch("Array", at, node);
    }
    out.clear();
    out.reserve(node.count());
    std::int64_t position = 0;
    for (const JSONNode& element : node.children()) {
        T value{};
        decodeJSONValue(element, at.element(position++), value);
        out.push_back(std::move(value));
    }
}

template <class T>
void encodeJSONValue(JSONWriter& writer, const std::vector<T>& values) {
    writer.beginArray();
    for (std::size_t i = 0; i < values.size(); ++i) {
        try {
            encodeJSONValue(writer, values[i]);
        } catch (const EncodingError& error) {
            throw error.prefixed(CodingKey::index(static_cast<std::int64_t>(i)));
        }
    }
    writer.endArray();
}

// ---------------------------------------------------------------------------------------------
// Key tables.

template <class Owner, class T>
struct WireField {
    using Value = T;
    std::string_view name;
    T Owner::*member;
};

template <class Owner, class T>
constexpr WireField<Owner, T> wireField(std::string_view name, T Owner::*member) {
    return {name, member};
}

// A case of a message: its name and its fields in declaration order.
template <class Case, class... Fields>
struct WireCase {
    using Type = Case;
    std::string_view name;
    std::tuple<Fields...> fields;
};

template <class Case, class... Fields>
constexpr WireCase<Case, Fields...> wireCase(std::string_view name, Fields... fields) {
    return {name, std::tuple<Fields...>(fields...)};
}

// A payload structure: its type name (for errors) and its fields in declaration order.
template <class Owner, class... Fields>
struct WireRecord {
    using Type = Owner;
    std::string_view typeName;
    std::tuple<Fields...> fields;
};

template <class Owner, class... Fields>
constexpr WireRecord<Owner, Fields...> wireRecord(std::string_view typeName, Fields... fields) {
    return {typeName, std::tuple<Fields...>(fields...)};
}

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

// Reads one named member of `object` into `out`: a missing required member is key not found, a
// missing or null optional is absent.
template <class T>
void decodeJSONMember(const JSONNode& object, const CodingPathLink& objectPath, std::string_view name, T& out) {
    const JSONNode* member = object.member(name);
    if constexpr (IsOptional<T>::value) {
        if (member == nullptr || member->isNull()) {
            out.reset();
            return;
        }
        typename T::value_type value{};
        decodeJSONValue(*member, objectPath.member(name), value);
        out = std::move(value);
    } else {
        if (member == nullptr) throwKeyNotFound(name, objectPath);
        decodeJSONValue(*member, objectPath.member(name), out);
    }
}

// Writes one named member; an absent optional is left out.
template <class T>
void encodeJSONMember(JSONWriter& writer, std::string_view name, const T& value) {
    if constexpr (IsOptional<T>::value) {
        if (!value) return;
        writer.key(name);
        try {
            encodeJSONValue(writer, *value);
        } catch (const EncodingError& error) {
            throw error.prefixed(CodingKey::member(std::string(name)));
        }
    } else {
        writer.key(name);
        try {
            encodeJSONValue(writer, value);
        } catch (const EncodingError& error) {
            throw error.prefixed(CodingKey::member(std::string(name)));
        }
    }
}

template <class Owner, class... Fields>
void decodeWireFields(const JSONNode& object, const CodingPathLink& objectPath, Owner& out,
                      const std::tuple<Fields...>& fields) {
    std::apply([&](const auto&... field) { (decodeJSONMember(object, objectPath, field.name, out.*(field.member)), ...); },
               fields);
}

template <class Owner, class... Fields>
void encodeWireFields(JSONWriter& writer, const Owner& value, const std::tuple<Fields...>& fields) {
    std::apply([&](const auto&... field) { (encodeJSONMember(writer, field.name, value.*(field.member)), ...); },
               fields);
}

template <class Owner, class... Fields>
bool wireFieldsEqual(const Owner& a, const Owner& b, const std::tuple<Fields...>& fields) {
    return std::apply([&](const auto&... field) { return (wireValuesEqual(a.*(field.member), b.*(field.member)) && ...); },
                      fields);
}

// Requires the node to be an object (null: value not found; other kinds: type mismatch).
void requireJSONObject(const JSONNode& node, const CodingPathLink& at, std::string_view type);

// Payload structures.
template <const auto& Record>
void decodeWireRecord(const JSONNode& node, const CodingPathLink& at,
                      typename std::remove_cvref_t<decltype(Record)>::Type& out) {
    requireJSONObject(node, at, Record.typeName);
    decodeWireFields(node, at, out, Record.fields);
}

template <const auto& Record>
void encodeWireRecord(JSONWriter& writer, const typename std::remove_cvref_t<decltype(Record)>::Type& value) {
    writer.beginObject();
    encodeWireFields(writer, value, Record.fields);
    writer.endObject();
}

template <const auto& Record>
bool wireRecordsEqual(const typename std::remove_cvref_t<decltype(Record)>::Type& a,
                      const typename std::remove_cvref_t<decltype(Record)>::Type& b) {
    return wireFieldsEqual(a, b, Record.fields);
}

// Writes through `write` into `out`; on failure `out` is left as it was and the error passes on.
template <class Write>
void appendJSON(std::string& out, Write&& write) {
    const std::size_t mark = out.size();
    try {
        JSONWriter writer(out);
        write(writer);
        writer.finish();
    } catch (...) {
        out.resize(mark);
        throw;
    }
}

// Decodes one complete JSON text with `decode(root, rootPath)`.
template <class Decode>
auto decodeJSONText(std::string_view text, Decode&& decode) {
    const JSONDocument document(text);
    const CodingPathLink root{};
    return decode(document.root(), root);
}

// ---------------------------------------------------------------------------------------------
// Messages: a class `Message` holding a std::variant of case structs (`value()`), constructible
// from each case struct, with a table `Cases` (a tuple of WireCase in variant order).

namespace wire_detail {

template <const auto& Cases, std::size_t... I>
constexpr std::array<std::string_view, sizeof...(I)> caseNames(std::index_sequence<I...>) {
    return {std::get<I>(Cases).name...};
}

template <const auto& Cases>
inline constexpr std::size_t caseCount = std::tuple_size_v<std::remove_cvref_t<decltype(Cases)>>;

template <const auto& Cases>
inline constexpr auto names = caseNames<Cases>(std::make_index_sequence<caseCount<Cases>>{});

template <const auto& Cases>
int findCase(std::string_view key) {
    const auto& table = names<Cases>;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (table[i].size() == key.size() && table[i] == key) return static_cast<int>(i);
    }
    return -1;
}

template <class Message, const auto& Cases, std::size_t I>
Message decodeCase(const JSONNode& value, const CodingPathLink& casePath) {
    const auto& entry = std::get<I>(Cases);
    using Case = typename std::remove_cvref_t<decltype(entry)>::Type;
    requireJSONObject(value, casePath, "Dictionary<String, Any>");
    Case result{};
    decodeWireFields(value, casePath, result, entry.fields);
    return Message(std::move(result));
}

template <class Message, const auto& Cases, std::size_t... I>
Message dispatchDecode(std::size_t index, const JSONNode& value, const CodingPathLink& casePath,
                       std::index_sequence<I...>) {
    using Reader = Message (*)(const JSONNode&, const CodingPathLink&);
    static constexpr Reader readers[] = {&decodeCase<Message, Cases, I>...};
    return readers[index](value, casePath);
}

template <const auto& Cases, class Variant, std::size_t I>
void encodeCase(JSONWriter& writer, const Variant& value) {
    const auto& entry = std::get<I>(Cases);
    writer.key(entry.name);
    writer.beginObject();
    try {
        encodeWireFields(writer, std::get<I>(value), entry.fields);
    } catch (const EncodingError& error) {
        throw error.prefixed(CodingKey::member(std::string(entry.name)));
    }
    writer.endObject();
}

template <const auto& Cases, class Variant, std::size_t... I>
void dispatchEncode(JSONWriter& writer, const Variant& value, std::index_sequence<I...>) {
    using Writer = void (*)(JSONWriter&, const Variant&);
    static constexpr Writer writers[] = {&encodeCase<Cases, Variant, I>...};
    writers[value.index()](writer, value);
}

template <const auto& Cases, class Variant, std::size_t I>
bool caseEqual(const Variant& a, const Variant& b) {
    return wireFieldsEqual(std::get<I>(a), std::get<I>(b), std::get<I>(Cases).fields);
}

template <const auto& Cases, class Variant, std::size_t... I>
bool dispatchEqual(const Variant& a, const Variant& b, std::index_sequence<I...>) {
    using Comparer = bool (*)(const Variant&, const Variant&);
    static constexpr Comparer comparers[] = {&caseEqual<Cases, Variant, I>...};
    return comparers[a.index()](a, b);
}

template <class Message, const auto& Cases>
void checkCaseOrder() {
    using Variant = std::remove_cvref_t<decltype(std::declval<const Message&>().value())>;
    static_assert(std::variant_size_v<Variant> == caseCount<Cases>, "one table entry per case");
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        static_assert((std::is_same_v<std::variant_alternative_t<I, Variant>,
                                      typename std::remove_cvref_t<decltype(std::get<I>(Cases))>::Type> &&
                       ...),
                      "table entries in the order of the cases");
    }(std::make_index_sequence<caseCount<Cases>>{});
}

}  // namespace wire_detail

// Reads a message from the object `node` at `at`. `typeName` names the message type in the
// error for a wrong number of known case names.
template <class Message, const auto& Cases>
Message decodeWireMessage(const JSONNode& node, const CodingPathLink& at, std::string_view typeName) {
    wire_detail::checkCaseOrder<Message, Cases>();
    requireJSONObject(node, at, "Dictionary<String, Any>");
    int found = -1;
    const JSONNode* caseValue = nullptr;
    for (const JSONNode& member : node.children()) {
        const int index = wire_detail::findCase<Cases>(member.key());
        if (index < 0) continue;
        // A name given twice counts once; its last member is read.
        if (found >= 0 && index != found) throwWrongCaseCount(typeName, at);
        found = index;
        caseValue = &member;
    }
    if (found < 0) throwWrongCaseCount(typeName, at);
    const std::size_t index = static_cast<std::size_t>(found);
    return wire_detail::dispatchDecode<Message, Cases>(index, *caseValue,
                                                       at.member(wire_detail::names<Cases>[index]),
                                                       std::make_index_sequence<wire_detail::caseCount<Cases>>{});
}

template <class Message, const auto& Cases>
void encodeWireMessage(JSONWriter& writer, const Message& message) {
    wire_detail::checkCaseOrder<Message, Cases>();
    writer.beginObject();
    wire_detail::dispatchEncode<Cases>(writer, message.value(),
                                       std::make_index_sequence<wire_detail::caseCount<Cases>>{});
    writer.endObject();
}

template <class Message, const auto& Cases>
bool wireMessagesEqual(const Message& a, const Message& b) {
    if (a.value().index() != b.value().index()) return false;
    return wire_detail::dispatchEqual<Cases>(a.value(), b.value(),
                                             std::make_index_sequence<wire_detail::caseCount<Cases>>{});
}

// The case names of a message type, in declaration order.
template <const auto& Cases>
constexpr const auto& wireCaseNames() {
    return wire_detail::names<Cases>;
}

}  // namespace mivodrell
