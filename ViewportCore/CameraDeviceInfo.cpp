#include "ViewportCore/CameraDeviceInfo.h"

#include "ViewportCore/WireCoding.h"

namespace mivodrell {

namespace {

// Member names, in field order.
constexpr auto cameraDeviceInfoKeys = wireRecord<CameraDeviceInfo>(
    "CameraDeviceInfo",
    wireField("id", &CameraDeviceInfo::id),
    wireField("name", &CameraDeviceInfo::name),
    wireField("isDefault", &CameraDeviceInfo::isDefault));

}  // namespace

void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, CameraDeviceInfo& out) {
    decodeWireRecord<cameraDeviceInfoKeys>(node, at, out);
}

void encodeJSONValue(JSONWriter& writer, const CameraDeviceInfo& value) { encodeWireRecord<cameraDeviceInfoKeys>(writer, value); }

bool operator==(const CameraDeviceInfo& a, const CameraDeviceInfo& b) { return wireRecordsEqual<cameraDeviceInfoKeys>(a, b); }

void CameraDeviceInfo::writeJSON(std::string& out) const {
    appendJSON(out, [&](JSONWriter& writer) { encodeJSONValue(writer, *this); });
}

CameraDeviceInfo CameraDeviceInfo::fromJSON(std::string_view body) {
    return decodeJSONText(body, [](const JSONNode& root, const CodingPathLink& at) {
        CameraDeviceInfo value;
        decodeJSONValue(root, at, value);
        return value;
    });
}

}  // namespace mivodrell
