#pragma once
// One camera the controller may ask for; `id` is its unique device identifier.
//
// JSON: an object whose members are named after the fields; every member but an optional one is
// required, members of other names are ignored, absent optionals are left out.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mivodrell {

class JSONNode;
class JSONWriter;
struct CodingPathLink;

struct CameraDeviceInfo {
    std::string id;
    std::string name;
    bool isDefault = false;

    // Appends the compact JSON object to `out`; throws EncodingError (leaving `out` as it was)
    // on a non-finite number.
    void writeJSON(std::string& out) const;
    // Throws DecodingError.
    static CameraDeviceInfo fromJSON(std::string_view body);

    // Field by field by the value-comparison rules (IEEE doubles, canonically equivalent text).
    friend bool operator==(const CameraDeviceInfo& a, const CameraDeviceInfo& b);
};

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, CameraDeviceInfo& out);
void encodeJSONValue(JSONWriter& writer, const CameraDeviceInfo& value);

}  // namespace mivodrell
