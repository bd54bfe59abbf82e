#include "ViewportCore/VideoFormatInfo.h"

#include "ViewportCore/WireCoding.h"

namespace mivodrell {

namespace {

// Member names, in field order.
constexpr auto videoFormatInfoKeys = wireRecord<VideoFormatInfo>(
    "VideoFormatInfo",
    wireField("displayID", &VideoFormatInfo::displayID),
    wireField("width", &VideoFormatInfo::width),
    wireField("height", &VideoFormatInfo::height),
    wireField("parameterSets", &VideoFormatInfo::parameterSets),
    wireField("nalUnitHeaderLength", &VideoFormatInfo::nalUnitHeaderLength),
    wireField("sourceRect", &VideoFormatInfo::sourceRect));

}  // namespace

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, VideoFormatInfo& out) {
    decodeWireRecord<videoFormatInfoKeys>(node, at, out);
}

void encodeJSONValue(JSONWriter& writer, const VideoFormatInfo& value) { encodeWireRecord<videoFormatInfoKeys>(writer, value); }

bool operator==(const VideoFormatInfo& a, const VideoFormatInfo& b) { return wireRecordsEqual<videoFormatInfoKeys>(a, b); }

void VideoFormatInfo::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeJSONValue(writer, *this); });
}

VideoFormatInfo VideoFormatInfo::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) {
        VideoFormatInfo value;
        decodeJSONValue(root, at, value);
        return value;
    });
}

}  // namespace mivodrell
