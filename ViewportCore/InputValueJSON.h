#pragma once
// JSON form of the input value types: each is the bare number of its raw value. Reading takes a
// number that fits the raw type and that names a case (any 32-bit value is a KeyModifiers).

#include "ViewportCore/KeyModifiers.h"
#include "ViewportCore/MouseButton.h"
#include "ViewportCore/ScrollPhase.h"
#include "ViewportCore/VirtualKey.h"
#include "ViewportCore/WireCoding.h"

namespace mivodrell {

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, MouseButton& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, ScrollPhase& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, KeyModifiers& out);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, VirtualKey& out);

inline void encodeJSONValue(JSONWriter& writer, MouseButton value) { writer.unsignedInteger(rawValue(value)); }
inline void encodeJSONValue(JSONWriter& writer, ScrollPhase value) { writer.unsignedInteger(rawValue(value)); }
inline void encodeJSONValue(JSONWriter& writer, KeyModifiers value) { writer.unsignedInteger(value.rawValue); }
inline void encodeJSONValue(JSONWriter& writer, VirtualKey value) { writer.unsignedInteger(rawValue(value)); }

}  // namespace mivodrell
