// Decoding and encoding of a realistic mix of controller messages, next to nlohmann::json as the
// baseline (parse-only into its DOM, and dump of an equivalent DOM), in messages per second.

#include "ViewportCore/RemoteEvent.h"

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include <random>
#include <string>
#include <vector>

namespace {

using mivodrell::CGPoint;
using mivodrell::CGRect;
using mivodrell::KeyModifiers;
using mivodrell::RemoteEvent;
using mivodrell::ScrollPhase;
using mivodrell::VirtualKey;

// 512 messages of 40 to 120 bytes: pointer moves, scrolls, key strokes, viewport changes and
// playback reports, in proportions a trackpad session produces.
const std::vector<RemoteEvent>& sampleEvents() {
    static const std::vector<RemoteEvent> events = [] {
        std::mt19937_64 random(20240611);
        std::uniform_real_distribution<double> coordinate(0, 2560);
        std::uniform_int_distribution<int> pick(0, 99);
        std::vector<RemoteEvent> list;
        auto quarter = [&](double v) { return std::round(v * 8) / 8; };
        for (int i = 0; i < 512; ++i) {
            const int p = pick(random);
            if (p < 50) {
                list.push_back(RemoteEvent::cursorMove(CGPoint{quarter(coordinate(random)), quarter(coordinate(random))}));
            } else if (p < 70) {
                list.push_back(RemoteEvent::scroll(quarter(coordinate(random) / 100 - 12), quarter(coordinate(random) / 50 - 25),
                                                   ScrollPhase::changed, CGPoint{std::round(coordinate(random)),
                                                                                 std::round(coordinate(random))}));
            } else if (p < 80) {
                list.push_back(RemoteEvent::keyStroke(mivodrell::allVirtualKeys[static_cast<std::size_t>(p) % 75],
                                                      KeyModifiers{KeyModifiers::command, KeyModifiers::shift}, p % 2 == 0));
            } else if (p < 95) {
                list.push_back(RemoteEvent::viewportChanged(CGRect(quarter(coordinate(random)), quarter(coordinate(random) / 2),
                                                                   1440, 900),
                                                            2532, 1170, static_cast<std::uint32_t>(1000 + i)));
            } else {
                list.push_back(RemoteEvent::reportPlaybackHealth(coordinate(random) / 2560, false, p % 2 == 0));
            }
        }
        return list;
    }();
    return events;
}

const std::vector<std::string>& sampleTexts() {
    static const std::vector<std::string> texts = [] {
        std::vector<std::string> list;
        for (const RemoteEvent& event : sampleEvents()) list.push_back(event.jsonText());
        return list;
    }();
    return texts;
}

void setRates(benchmark::State& state, std::size_t bytes) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void BM_ControlMessage_DecodeRemoteEvent(benchmark::State& state) {
    const auto& texts = sampleTexts();
    std::size_t i = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string& text = texts[i++ & 511];
        RemoteEvent event = RemoteEvent::fromJSON(text);
        benchmark::DoNotOptimize(event);
        bytes += text.size();
    }
    setRates(state, bytes);
}
BENCHMARK(BM_ControlMessage_DecodeRemoteEvent);

void BM_ControlMessage_BaselineNlohmannParse(benchmark::State& state) {
    const auto& texts = sampleTexts();
    std::size_t i = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const std::string& text = texts[i++ & 511];
        nlohmann::json document = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(document);
        bytes += text.size();
    }
    setRates(state, bytes);
}
BENCHMARK(BM_ControlMessage_BaselineNlohmannParse);

void BM_ControlMessage_EncodeRemoteEvent(benchmark::State& state) {
    const auto& events = sampleEvents();
    std::size_t i = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = events[i++ & 511].jsonText();
        benchmark::DoNotOptimize(text);
        bytes += text.size();
    }
    setRates(state, bytes);
}
BENCHMARK(BM_ControlMessage_EncodeRemoteEvent);

void BM_ControlMessage_BaselineNlohmannDump(benchmark::State& state) {
    std::vector<nlohmann::json> documents;
    for (const std::string& text : sampleTexts()) documents.push_back(nlohmann::json::parse(text));
    std::size_t i = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = documents[i++ & 511].dump();
        benchmark::DoNotOptimize(text);
        bytes += text.size();
    }
    setRates(state, bytes);
}
BENCHMARK(BM_ControlMessage_BaselineNlohmannDump);

}  // namespace
