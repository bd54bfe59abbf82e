#pragma once
// One JPEG picture of a display's menu-bar strip with its geometry. Note the field order:
// `jpegData` comes before `displayID` (DisplayThumbnail has them the other way round).
//
// JSON: an object whose members are named after the fields; every member but an optional one is
// required, members of other names are ignored, absent optionals are left out.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mivodrell {

class JSONNode;
class JSONWriter;
struct CodingPathLink;

struct MenuBarSnapshot {
    std::vector<std::uint8_t> jpegData;
    std::uint32_t displayID = 0;
    std::optional<double> menuBarHeightPoints;
    std::optional<double> leftClusterPointWidth;
    std::optional<double> pixelsPerPoint;

    // Appends the compact JSON object to `out`; throws EncodingError (leaving `out` as it was)
    // on a non-finite number.
    void writeJSON(std::string& out) const;
    // Throws DecodingError.
    static MenuBarSnapshot fromJSON(std::string_view body);

    // Field by field by the value-comparison rules (IEEE doubles, canonically equivalent text).
    friend bool operator==(const MenuBarSnapshot& a, const MenuBarSnapshot& b);
};

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, MenuBarSnapshot& out);
void encodeJSONValue(JSONWriter& writer, const MenuBarSnapshot& value);

}  // namespace mivodrell
