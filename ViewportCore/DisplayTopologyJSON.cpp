#include "ViewportCore/DisplayTopologyJSON.h"

#include <array>

namespace mivodrell {

namespace {

// Member names of DisplayInfo, in field order.
struct DisplayInfoKeys {
    static constexpr std::string_view id = "id";
    static constexpr std::string_view frame = "frame";
    static constexpr std::string_view scale = "scale";
    static constexpr std::string_view isMain = "isMain";
    static constexpr std::string_view localizedName = "localizedName";
};

// Member names of DisplayTopology.
struct DisplayTopologyKeys {
    static constexpr std::string_view displays = "displays";
};

}  // namespace

DisplayInfo decodeDisplayInfo(const JSONNode& node, const CodingPathLink& at) {
    requireJSONObject(node, at, "DisplayInfo");
    std::uint32_t id = 0;
    CGRect frame;
    double scale = 0;
    bool isMain = false;
    std::string localizedName;
    decodeJSONMember(node, at, DisplayInfoKeys::id, id);
    decodeJSONMember(node, at, DisplayInfoKeys::frame, frame);
    decodeJSONMember(node, at, DisplayInfoKeys::scale, scale);
    decodeJSONMember(node, at, DisplayInfoKeys::isMain, isMain);
    decodeJSONMember(node, at, DisplayInfoKeys::localizedName, localizedName);
    return DisplayInfo(id, frame, scale, isMain, std::move(localizedName));
}

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, DisplayTopology& out) {
    requireJSONObject(node, at, "DisplayTopology");
    const JSONNode* list = node.member(DisplayTopologyKeys::displays);
    if (list == nullptr) throwKeyNotFound(DisplayTopologyKeys::displays, at);
    const CodingPathLink listPath = at.member(DisplayTopologyKeys::displays);
    if (!list->isArray()) {
        if (list->isNull()) throwNullValue("Array<DisplayInfo>", listPath);
        throwTypeMismatch("Array<DisplayInfo>", listPath, *list);
    }
    std::vector<DisplayInfo> displays;
    displays.reserve(list->count());
    std::int64_t position = 0;
    for (const JSONNode& element : list->children()) {
        displays.push_back(decodeDisplayInfo(element, listPath.element(position++)));
    }
    out = DisplayTopology(std::move(displays));
}

void encodeJSONValue(JSONWriter& writer, const DisplayInfo& display) {
    writer.beginObject();
    encodeJSONMember(writer, DisplayInfoKeys::id, display.id());
    encodeJSONMember(writer, DisplayInfoKeys::frame, display.frame());
    encodeJSONMember(writer, DisplayInfoKeys::scale, display.scale());
    encodeJSONMember(writer, DisplayInfoKeys::isMain, display.isMain());
    encodeJSONMember(writer, DisplayInfoKeys::localizedName, display.localizedName());
    writer.endObject();
}

void encodeJSONValue(JSONWriter& writer, const DisplayTopology& topology) {
    writer.beginObject();
    encodeJSONMember(writer, DisplayTopologyKeys::displays, topology.displays());
    writer.endObject();
}

void DisplayInfo::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeJSONValue(writer, *this); });
}

DisplayInfo DisplayInfo::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) { return decodeDisplayInfo(root, at); });
}

void DisplayTopology::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeJSONValue(writer, *this); });
}

DisplayTopology DisplayTopology::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) {
        DisplayTopology topology;
        decodeJSONValue(root, at, topology);
        return topology;
    });
}

}  // namespace mivodrell
