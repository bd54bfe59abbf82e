#pragma once
// What the frame receiver tells its keyframe request policy about each frame.

#include <cstdint>
#include <variant>

namespace mivodrell {

struct LossEvent {
    // A frame was given up before all its packets arrived.
    struct FrameAbandoned {
        std::uint32_t frameID = 0;
        bool wasKeyframe = false;
        std::int64_t missingPackets = 0;
        friend bool operator==(const FrameAbandoned&, const FrameAbandoned&) = default;
    };
    // A frame was completed.
    struct FrameCompleted {
        std::uint32_t frameID = 0;
        bool wasKeyframe = false;
        friend bool operator==(const FrameCompleted&, const FrameCompleted&) = default;
    };

    std::variant<FrameAbandoned, FrameCompleted> value;

    static LossEvent frameAbandoned(std::uint32_t frameID, bool wasKeyframe, std::int64_t missingPackets) {
        return {FrameAbandoned{frameID, wasKeyframe, missingPackets}};
    }
    static LossEvent frameCompleted(std::uint32_t frameID, bool wasKeyframe) {
        return {FrameCompleted{frameID, wasKeyframe}};
    }

    friend bool operator==(const LossEvent&, const LossEvent&) = default;
};

}  // namespace mivodrell
