#pragma once
// An in-process datagram link that loses, repeats and reorders what it carries, the way a
// congested network path does, from a seed so that every run with the same seed and the same
// traffic behaves the same.
//
// Each datagram is dropped with the loss probability; a surviving one is delivered twice with
// the duplicate probability, and held back behind the next datagram with the reorder
// probability. `flush` delivers what is held. The fate of the n-th datagram depends only on the
// seed and n. Delivery is synchronous, inside `send` or `flush`. No lock: one owner uses it from one thread or queue.

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace mivodrell::stream {

class LossyLink {
public:
    struct Configuration {
        double lossProbability = 0;
        double duplicateProbability = 0;
        double reorderProbability = 0;
        std::uint64_t seed = 1;
    };
    struct Counts {
        std::int64_t sent = 0;
        std::int64_t dropped = 0;
        std::int64_t duplicated = 0;
        std::int64_t reordered = 0;
        std::int64_t delivered = 0;
    };
    using Deliver = std::function<void(std::span<const std::uint8_t> datagram)>;

    // Probabilities outside 0...1 (or NaN) count as 0.
    LossyLink(Configuration configuration, Deliver deliver);

    void send(std::span<const std::uint8_t> datagram);
    void flush();
    const Counts& counts() const { return counts_; }

private:
    bool chance(double probability);
    void deliver(std::span<const std::uint8_t> datagram);

    Configuration configuration_;
    Deliver deliver_;
    std::mt19937_64 random_;
    std::optional<std::vector<std::uint8_t>> held_;
    Counts counts_;
};

}  // namespace mivodrell::stream
