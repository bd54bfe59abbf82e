#include "ViewportCore/ControlChannelCoding.h"

#include <cstdio>
#include <cstring>

#include "Platform/Base/Narrowing.h"

namespace mivodrell {

namespace {

void writeLength(std::uint8_t* header, std::size_t length) {
    header[0] = static_cast<std::uint8_t>(length >> 24);
    header[1] = static_cast<std::uint8_t>(length >> 16);
    header[2] = static_cast<std::uint8_t>(length >> 8);
    header[3] = static_cast<std::uint8_t>(length);
}

std::int64_t byteCountOf(std::size_t size) {
    return clampedNarrow<std::int64_t>(size);
}

}  // namespace

ControlChannelCoding::EncodingError::EncodingError(std::int64_t count) : byteCount(count) {
    std::snprintf(text, sizeof text, "messageTooLarge(byteCount: %lld)", static_cast<long long>(count));
}

std::vector<std::uint8_t> ControlChannelCoding::frame(std::string_view body) {
    if (body.size() > maxBodyBytes) throw EncodingError(byteCountOf(body.size()));
    std::uint8_t header[headerBytes];
    writeLength(header, body.size());
    std::vector<std::uint8_t> result;
    result.reserve(headerBytes + body.size());
    result.insert(result.end(), header, header + headerBytes);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
    result.insert(result.end(), bytes, bytes + body.size());
    return result;
}

std::vector<std::uint8_t> ControlChannelCoding::finishFrame(std::string& text) {
    const std::size_t bodySize = text.size() - headerBytes;
    if (bodySize > maxBodyBytes) throw EncodingError(byteCountOf(bodySize));
    writeLength(reinterpret_cast<std::uint8_t*>(text.data()), bodySize);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    return std::vector<std::uint8_t>(bytes, bytes + text.size());
}

}  // namespace mivodrell
