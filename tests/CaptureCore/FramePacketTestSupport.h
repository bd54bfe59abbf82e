#pragma once
// Helpers shared by the frame packet tests.
#include <sys/mman.h>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>
#include "CaptureCore/EncodedFrame.h"
#include "CaptureCore/FramePacket.h"
#include "CaptureCore/SharedBytes.h"
namespace mivodrell::testing {
// Deterministic, position-dependent bytes, so that a misplaced slice shows.
inline std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint32_t seed = 1) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t state = seed * 2654435761u + 12345u;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}
inline EncodedFrame makeFrame(std::uint32_t frameID, std::size_t payloadSize, bool isKeyframe = false, std::uint32_t seed = 1) {
    return EncodedFrame{frameID, isKeyframe, 1000.25 + frameID / 60.0, patternBytes(payloadSize, seed),
                        CGRect(16, 32, 1920, 1080)};
}
// A packet whose default payload names its frame and index.
inline FramePacket makePacket(std::uint32_t frameID, std::uint16_t index, std::uint16_t count,
                              std::optional<std::vector<std::uint8_t>> payload = std::nullopt) {
    std::vector<std::uint8_t> bytes =
        payload ? *payload : std::vector<std::uint8_t>{static_cast<std::uint8_t>(frameID), static_cast<std::uint8_t>(index)};
    return FramePacket{frameID, index, count, frameID % 2 == 0, frameID * 0.5, std::move(bytes), CGRect(1, 2, 3, 4)};
}
// `size` bytes of address space that are never touched: for payloads too large for the wire
// format, which must be refused from their size alone. Nothing when the mapping fails.
inline std::optional<SharedBytes> untouchedBytes(std::size_t size) {
    void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (address == MAP_FAILED) return std::nullopt;
    const std::shared_ptr<const void> owner(address, [size](const void* p) { munmap(const_cast<void*>(p), size); });
    return SharedBytes(owner, {static_cast<const std::uint8_t*>(address), size});
}
}  // namespace mivodrell::testing
