#pragma once
// Test helpers: PCM sample buffers in the layouts the capture sessions deliver.
#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Media/SampleBuffer.h"
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>
namespace mivodrell::testing {
enum class SampleType { float32, int16, int32 };
using Signal = std::function<float(std::size_t frame, std::uint32_t channel)>;
inline void appendSample(std::vector<std::uint8_t>& out, float value, SampleType type) {
    const auto put = [&out](const auto v) {
        std::uint8_t bytes[sizeof v];
        std::memcpy(bytes, &v, sizeof v);
        out.insert(out.end(), bytes, bytes + sizeof v);
    };
    switch (type) {
        case SampleType::float32: put(value); break;
        case SampleType::int16: put(roundClamped<std::int16_t>(double(value) * 32767.0, 0)); break;
        case SampleType::int32: put(roundClamped<std::int32_t>(double(value) * 2147483647.0, 0)); break;
    }
}
// `frames` frames of `signal`, starting at `firstFrame`, one plane per channel when non-interleaved.
inline SampleBuffer makeAudioBuffer(double rate, std::uint32_t channels, bool nonInterleaved, std::size_t frames,
                                    const Signal& signal, std::size_t firstFrame = 0,
                                    SampleType type = SampleType::float32) {
    SampleBuffer buffer;
    AudioStreamDescription& d = buffer.audioFormat.emplace();
    d.sampleRate = rate;
    d.formatID = fourCC("lpcm");
    const std::uint32_t bytes = type == SampleType::int16 ? 2 : 4;
    d.formatFlags = (type == SampleType::float32 ? AudioFormatFlag::isFloat : AudioFormatFlag::isSignedInteger) |
                    AudioFormatFlag::isPacked | (nonInterleaved ? AudioFormatFlag::isNonInterleaved : 0u);
    d.bitsPerChannel = 8 * bytes;
    d.bytesPerFrame = nonInterleaved ? bytes : bytes * channels;
    d.bytesPerPacket = d.bytesPerFrame;
    d.framesPerPacket = 1;
    d.channelsPerFrame = channels;
    buffer.sampleCount = static_cast<std::int64_t>(frames);
    buffer.presentationTime = MediaTime::make(static_cast<std::int64_t>(firstFrame), 48000);
    std::vector<AudioBuffer> list;
    if (nonInterleaved) {
        for (std::uint32_t c = 0; c < channels; ++c) {
            AudioBuffer plane;
            for (std::size_t f = 0; f < frames; ++f) appendSample(plane.data, signal(firstFrame + f, c), type);
            list.push_back(std::move(plane));
        }
    } else {
        AudioBuffer all;
        all.numberChannels = channels;
        for (std::size_t f = 0; f < frames; ++f) {
            for (std::uint32_t c = 0; c < channels; ++c) appendSample(all.data, signal(firstFrame + f, c), type);
        }
        list.push_back(std::move(all));
    }
    buffer.audioBufferList = std::move(list);
    return buffer;
}
}  // namespace mivodrell::testing
