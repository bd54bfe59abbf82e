#pragma once
// One small JPEG picture of one display.
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

struct DisplayThumbnail {
    std::uint32_t displayID = 0;
    std::vector<std::uint8_t> jpegData;

    // Appends the compact JSON object to `out`; throws EncodingError (leaving `out` as it was)
    // on a non-finite number.
    void writeJSON(std::string& out) const;
    // Throws DecodingError.
    static DisplayThumbnail fromJSON(std::string_view body);

    // Field by field by the value-comparison rules (IEEE doubles, canonically equivalent text).
    friend bool operator==(const DisplayThumbnail& a, const DisplayThumbnail& b);
};

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, DisplayThumbnail& out);
void encodeJSONValue(JSONWriter& writer, const DisplayThumbnail& value);

}  // namespace mivodrell
