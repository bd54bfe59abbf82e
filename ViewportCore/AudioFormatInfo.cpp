#include "ViewportCore/AudioFormatInfo.h"

#include "ViewportCore/WireCoding.h"

namespace mivodrell {

namespace {

// Member names, in field order.
constexpr auto audioFormatInfoKeys = wireRecord<AudioFormatInfo>(
    "AudioFormatInfo",
    wireField("sampleRate", &AudioFormatInfo::sampleRate),
    wireField("channelCount", &AudioFormatInfo::channelCount),
    wireField("magicCookie", &AudioFormatInfo::magicCookie));

}  // namespace

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, AudioFormatInfo& out) {
    decodeWireRecord<audioFormatInfoKeys>(node, at, out);
}

void encodeJSONValue(JSONWriter& writer, const AudioFormatInfo& value) { encodeWireRecord<audioFormatInfoKeys>(writer, value); }

bool operator==(const AudioFormatInfo& a, const AudioFormatInfo& b) { return wireRecordsEqual<audioFormatInfoKeys>(a, b); }

void AudioFormatInfo::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeJSONValue(writer, *this); });
}

AudioFormatInfo AudioFormatInfo::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) {
        AudioFormatInfo value;
        decodeJSONValue(root, at, value);
        return value;
    });
}

}  // namespace mivodrell
