#include "ViewportCore/MenuBarSnapshot.h"

#include "ViewportCore/WireCoding.h"

namespace mivodrell {

namespace {

// Member names, in field order.
constexpr auto menuBarSnapshotKeys = wireRecord<MenuBarSnapshot>(
    "MenuBarSnapshot",
    wireField("jpegData", &MenuBarSnapshot::jpegData),
    wireField("displayID", &MenuBarSnapshot::displayID),
    wireField("menuBarHeightPoints", &MenuBarSnapshot::menuBarHeightPoints),
    wireField("leftClusterPointWidth", &MenuBarSnapshot::leftClusterPointWidth),
    wireField("pixelsPerPoint", &MenuBarSnapshot::pixelsPerPoint));

}  // namespace

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, MenuBarSnapshot& out) {
    decodeWireRecord<menuBarSnapshotKeys>(node, at, out);
}

void encodeJSONValue(JSONWriter& writer, const MenuBarSnapshot& value) { encodeWireRecord<menuBarSnapshotKeys>(writer, value); }

bool operator==(const MenuBarSnapshot& a, const MenuBarSnapshot& b) { return wireRecordsEqual<menuBarSnapshotKeys>(a, b); }

void MenuBarSnapshot::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeJSONValue(writer, *this); });
}

MenuBarSnapshot MenuBarSnapshot::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) {
        MenuBarSnapshot value;
        decodeJSONValue(root, at, value);
        return value;
    });
}

}  // namespace mivodrell
