#pragma once
// The format of an HEVC video stream: picture size, parameter sets (one raw NAL unit each, no
// start code or length field), the size of the length field in front of each NAL unit, and the
// source rectangle a single-display stream shows (display 0 and the zero rectangle otherwise).
//
// JSON: an object whose members are named after the fields; every member but an optional one is
// required, members of other names are ignored, absent optionals are left out.

#include "Platform/Base/Geometry.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mivodrell {

class JSONNode;
class JSONWriter;
struct CodingPathLink;

struct VideoFormatInfo {
    std::uint32_t displayID = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::vector<std::vector<std::uint8_t>> parameterSets;
    std::int32_t nalUnitHeaderLength = 0;
    CGRect sourceRect;

    // Appends the compact JSON object to `out`; throws EncodingError (leaving `out` as it was)
    // on a non-finite number.
    void writeJSON(std::string& out) const;
    // Throws DecodingError.
    static VideoFormatInfo fromJSON(std::string_view body);

    // Field by field by the value-comparison rules (IEEE doubles, canonically equivalent text).
    friend bool operator==(const VideoFormatInfo& a, const VideoFormatInfo& b);
};

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, VideoFormatInfo& out);
void encodeJSONValue(JSONWriter& writer, const VideoFormatInfo& value);

}  // namespace mivodrell
