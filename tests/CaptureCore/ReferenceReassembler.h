#pragma once
// A plain restatement of the reassembly rules with ordered containers, for comparing the
// reassembler against in tests. Meant for frame IDs less than 2^31 apart.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>
#include "CaptureCore/FrameReassembler.h"
#include "FramePacketTestSupport.h"
namespace mivodrell::testing {
class ReferenceReassembler {
public:
    using Bytes = std::vector<std::uint8_t>;
    explicit ReferenceReassembler(std::int64_t limit) : limit(std::max<std::int64_t>(limit, 1)) {}
    FrameReassembler::Outcome ingest(const FramePacket& p) {
        const std::uint32_t f = p.frameID;
        const std::uint16_t i = p.packetIndex;
        if (settled && !referenceIsNewer(f, *settled)) return FrameReassembler::DroppedStale{f};
        auto found = open.find(f);
        if (found != open.end() && found->second.count != p.packetCount) return FrameReassembler::DroppedMalformed{f, i};
        Open entry = found != open.end() ? found->second
                                         : Open{p.packetCount, p.isKeyframe, p.presentationTime, p.cropRect, {}};
        if (i >= entry.count) return FrameReassembler::DroppedMalformed{f, i};
        if (entry.parts.contains(i)) return FrameReassembler::DroppedDuplicate{f, i};
        entry.parts[i] = p.payload.toVector();
        open[f] = entry;
        if (std::ssize(entry.parts) == entry.count) {
            Bytes payload;
            for (const auto& [index, part] : entry.parts) payload.insert(payload.end(), part.begin(), part.end());
            open.erase(f);
            settle(f);
            for (auto it = open.begin(); it != open.end();) {
                if (!referenceIsNewer(f, it->first)) { ++it; continue; }
                count(it->second);
                it = open.erase(it);
            }
            limitOpen();
            return FrameReassembler::Completed{EncodedFrame{f, entry.isKeyframe, entry.presentationTime, std::move(payload), entry.crop}};
        }
        limitOpen();
        if (open.contains(f)) return FrameReassembler::Buffered{f, std::ssize(entry.parts), entry.count};
        return FrameReassembler::Abandoned{f, entry.count - std::ssize(entry.parts)};
    }
    std::int64_t abandoned = 0, lost = 0;
    std::optional<std::uint32_t> settled;
    std::size_t openCount() const { return open.size(); }
private:
    struct Open { std::int64_t count; bool isKeyframe; double presentationTime; CGRect crop; std::map<std::uint16_t, Bytes> parts; };
    void count(const Open& entry) { lost += entry.count - std::ssize(entry.parts), abandoned += 1; }
    void settle(std::uint32_t f) { if (!settled || referenceIsNewer(f, *settled)) settled = f; }
    void limitOpen() {
        while (std::ssize(open) > limit) {
            auto oldest = open.begin();
            for (auto it = open.begin(); it != open.end(); ++it) if (referenceIsNewer(oldest->first, it->first)) oldest = it;
            const std::uint32_t f = oldest->first;
            count(oldest->second);
            open.erase(oldest);
            settle(f);
        }
    }
    std::int64_t limit;
    std::map<std::uint32_t, Open> open;
};
}  // namespace mivodrell::testing
