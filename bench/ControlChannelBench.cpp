// Cutting a stream of small control frames delivered in 64 KiB chunks, next to a plain memcpy of
// the same bytes in the same chunks (into one reused buffer that stays in cache).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <vector>

#include "ViewportCore/ControlChannelCoding.h"
#include "ViewportCore/ControlChannelDecoder.h"

namespace {

constexpr std::size_t kFrameCount = 100000;
constexpr std::size_t kChunkBytes = 64 * 1024;

// 100,000 frames with JSON-like bodies of 40 to 120 bytes, the size of typical input messages.
const std::vector<std::uint8_t>& smallFrameStream() {
    static const std::vector<std::uint8_t> stream = [] {
        std::mt19937 random(7);
        std::uniform_int_distribution<std::size_t> size(40, 120);
        std::uniform_int_distribution<int> letter('a', 'z');
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < kFrameCount; ++i) {
            std::string body = "{\"cursorMove\":{\"to\":[";
            while (body.size() + 2 < size(random)) body.push_back(static_cast<char>(letter(random)));
            body += "]}";
            const std::vector<std::uint8_t> frame = mivodrell::ControlChannelCoding::frame(body);
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        return bytes;
    }();
    return stream;
}

// Feeds the whole stream chunk by chunk; returns the number of frames cut and adds the sizes of
// their bodies to `bodyBytes` when asked to look at them.
std::size_t feedStream(const std::vector<std::uint8_t>& stream, std::size_t* bodyBytes) {
    mivodrell::ControlChannelDecoder decoder;
    std::size_t frames = 0;
    for (std::size_t at = 0; at < stream.size(); at += kChunkBytes) {
        const auto chunk = std::span(stream).subspan(at, std::min(kChunkBytes, stream.size() - at));
        const auto cut = decoder.feed(chunk);
        frames += cut.size();
        if (bodyBytes != nullptr) {
            for (const auto body : cut) *bodyBytes += body.size();
        }
        benchmark::DoNotOptimize(cut);
    }
    return frames;
}

void ControlChannelDecoderFeed(benchmark::State& state) {
    const std::vector<std::uint8_t>& stream = smallFrameStream();
    std::size_t bodyBytes = 0;
    if (feedStream(stream, &bodyBytes) != kFrameCount || bodyBytes != stream.size() - 4 * kFrameCount) {
        state.SkipWithError("frames lost");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(feedStream(stream, nullptr));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
    state.counters["frames"] = benchmark::Counter(static_cast<double>(state.iterations() * kFrameCount),
                                                  benchmark::Counter::kIsRate);
}
BENCHMARK(ControlChannelDecoderFeed);

void ControlChannelMemcpyBaseline(benchmark::State& state) {
    const std::vector<std::uint8_t>& stream = smallFrameStream();
    std::vector<std::uint8_t> destination(kChunkBytes);
    for (auto _ : state) {
        for (std::size_t at = 0; at < stream.size(); at += kChunkBytes) {
            const std::size_t count = std::min(kChunkBytes, stream.size() - at);
            std::memcpy(destination.data(), stream.data() + at, count);
            benchmark::ClobberMemory();
        }
        benchmark::DoNotOptimize(destination.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(ControlChannelMemcpyBaseline);

}  // namespace
