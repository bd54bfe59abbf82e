#include "ViewportCore/DisplayThumbnail.h"

#include "ViewportCore/WireCoding.h"

namespace mivodrell {

namespace {

// Member names, in field order.
constexpr auto displayThumbnailKeys = wireRecord<DisplayThumbnail>(
    "DisplayThumbnail",
    wireField("displayID", &DisplayThumbnail::displayID),
    wireField("jpegData", &DisplayThumbnail::jpegData));

}  // namespace

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, DisplayThumbnail& out) {
    decodeWireRecord<displayThumbnailKeys>(node, at, out);
}

void encodeJSONValue(JSONWriter& writer, const DisplayThumbnail& value) { encodeWireRecord<displayThumbnailKeys>(writer, value); }

bool operator==(const DisplayThumbnail& a, const DisplayThumbnail& b) { return wireRecordsEqual<displayThumbnailKeys>(a, b); }

void DisplayThumbnail::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeJSONValue(writer, *this); });
}

DisplayThumbnail DisplayThumbnail::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) {
        DisplayThumbnail value;
        decodeJSONValue(root, at, value);
        return value;
    });
}

}  // namespace mivodrell
