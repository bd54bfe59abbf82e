#pragma once
// The format of an AAC audio stream: sample rate, channel count and the decoder configuration.
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

struct AudioFormatInfo {
    double sampleRate = 0;
    std::int32_t channelCount = 0;
    std::vector<std::uint8_t> magicCookie;

    // Appends the compact JSON object to `out`; throws EncodingError (leaving `out` as it was)
    // on a non-finite number.
    void writeJSON(std::string& out) const;
    // Throws DecodingError.
    static AudioFormatInfo fromJSON(std::string_view body);

    // Field by field by the value-comparison rules (IEEE doubles, canonically equivalent text).
    friend bool operator==(const AudioFormatInfo& a, const AudioFormatInfo& b);
};

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, AudioFormatInfo& out);
void encodeJSONValue(JSONWriter& writer, const AudioFormatInfo& value);

}  // namespace mivodrell
