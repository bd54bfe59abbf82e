#include "LossyLink.h"

#include <cmath>
#include <utility>

namespace mivodrell::stream {
namespace {
double usable(double probability) { return probability >= 0 && probability <= 1 ? probability : 0; }
}  // namespace

LossyLink::LossyLink(Configuration configuration, Deliver deliver)
    : configuration_(configuration), deliver_(std::move(deliver)), random_(configuration.seed) {
    configuration_.lossProbability = usable(configuration_.lossProbability);
    configuration_.duplicateProbability = usable(configuration_.duplicateProbability);
    configuration_.reorderProbability = usable(configuration_.reorderProbability);
}

bool LossyLink::chance(double probability) {
    if (probability <= 0) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(random_) < probability;
}

void LossyLink::deliver(std::span<const std::uint8_t> datagram) {
    ++counts_.delivered;
    if (deliver_) deliver_(datagram);
}

void LossyLink::send(std::span<const std::uint8_t> datagram) {
    ++counts_.sent;
    if (chance(configuration_.lossProbability)) {
        ++counts_.dropped;
        return;
    }
    // Every datagram takes the same draws, so its fate depends on the seed and its place in the
    // sequence only, not on what was held before it.
    const bool duplicate = chance(configuration_.duplicateProbability);
    const bool reorder = chance(configuration_.reorderProbability);
    if (!held_ && reorder) {
        ++counts_.reordered;
        held_.emplace(datagram.begin(), datagram.end());
        if (duplicate) {
            ++counts_.duplicated;
            deliver(datagram);
        }
        return;
    }
    deliver(datagram);
    if (duplicate) {
        ++counts_.duplicated;
        deliver(datagram);
    }
    flush();
}

void LossyLink::flush() {
    if (!held_) return;
    const std::vector<std::uint8_t> late = std::move(*held_);
    held_.reset();
    deliver(late);
}

}  // namespace mivodrell::stream
