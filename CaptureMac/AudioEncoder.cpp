#include "CaptureMac/AudioEncoder.h"

#include "CaptureMac/AudioDiagnosticCapture.h"
#include "Platform/Base/Narrowing.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace mivodrell {

// ---------------------------------------------------------------------------------------------
// Errors

AudioEncoder::EncoderError::EncoderError(Kind k, std::string m) : kind(k), message(std::move(m)) {
    switch (kind) {
        case Kind::converterCreationFailed: text_ = "converterCreationFailed: " + message; break;
        case Kind::convertFailed: text_ = "convertFailed: " + message; break;
        case Kind::noFormatDescription: text_ = "noFormatDescription"; break;
        case Kind::invalidSampleBuffer: text_ = "invalidSampleBuffer"; break;
    }
}

// ---------------------------------------------------------------------------------------------
// Static helpers

std::optional<std::uint8_t> AudioEncoder::samplingFrequencyIndex(double sampleRate) {
    for (std::size_t i = 0; i < samplingFrequencies.size(); ++i) {
        if (std::abs(sampleRate - samplingFrequencies[i]) < 0.5) return static_cast<std::uint8_t>(i);
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> AudioEncoder::makeAudioSpecificConfig(double sampleRate,
                                                                               std::uint32_t channelCount) {
    const auto index = samplingFrequencyIndex(sampleRate);
    if (!index || (channelCount != 1 && channelCount != 2)) return std::nullopt;
    // audioObjectType 2 (5 bits), samplingFrequencyIndex (4), channelConfiguration (4),
    // frameLengthFlag, dependsOnCoreCoder, extensionFlag (all 0).
    const auto byte0 = static_cast<std::uint8_t>(0x10 | (*index >> 1));
    const auto byte1 = static_cast<std::uint8_t>(((*index & 1) << 7) | (channelCount << 3));
    return std::vector<std::uint8_t>{byte0, byte1};
}

std::uint32_t AudioEncoder::nearestApplicableBitrate(std::uint32_t target, std::span<const std::uint32_t> rates) {
    if (rates.empty()) return target;
    const auto distance = [target](std::uint32_t rate) {
        return std::abs(static_cast<std::int64_t>(rate) - static_cast<std::int64_t>(target));
    };
    std::uint32_t pick = rates.front();
    for (const std::uint32_t rate : rates.subspan(1)) {
        if (distance(rate) < distance(pick)) pick = rate;
    }
    return pick;
}

AudioStreamDescription AudioEncoder::outputStreamDescription(const Configuration& configuration) {
    AudioStreamDescription d;
    d.sampleRate = configuration.sampleRate;
    d.formatID = AudioFormatID::mpeg4AAC;
    d.formatFlags = 0;
    d.bytesPerPacket = 0;
    d.framesPerPacket = framesPerBlock;
    d.bytesPerFrame = 0;
    d.channelsPerFrame = configuration.channelCount;
    d.bitsPerChannel = 0;
    return d;
}

std::string AudioEncoder::formatRate(double sampleRate) {
    std::string text = fmt::format("{}", sampleRate);
    if (std::isfinite(sampleRate) && text.find_first_of(".e") == std::string::npos) text += ".0";
    return text;
}

std::optional<AudioEncoder::SampleKind> AudioEncoder::sampleKind(const AudioStreamDescription& description) {
    // An unset format identifier is read as linear PCM; the flags then say which kind.
    if (description.formatID != AudioFormatID::linearPCM && description.formatID != 0) return std::nullopt;
    const std::uint32_t flags = description.formatFlags;
    if ((flags & AudioFormatFlag::isBigEndian) != 0) return std::nullopt;
    if ((flags & AudioFormatFlag::isFloat) != 0) {
        if (description.bitsPerChannel == 32) return SampleKind::float32;
        return std::nullopt;
    }
    if ((flags & AudioFormatFlag::isSignedInteger) != 0) {
        if (description.bitsPerChannel == 16) return SampleKind::int16;
        if (description.bitsPerChannel == 32) return SampleKind::int32;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Lifecycle

AudioEncoder::AudioEncoder(Configuration configuration, AudioConverterFactory converterFactory)
    : configuration_(configuration), converterFactory_(std::move(converterFactory)) {}

AudioEncoder::~AudioEncoder() { invalidate(); }

void AudioEncoder::setDiagnosticCaptureDirectory(std::optional<std::filesystem::path> directory) {
    diagnosticDirectory_ = std::move(directory);
}

std::optional<std::uint32_t> AudioEncoder::currentBitrate() const {
    if (!avConverter_) return std::nullopt;
    return avConverter_->bitRate();
}

std::size_t AudioEncoder::channelsPerFrame() const { return std::max<std::uint32_t>(inputChannelCount_, 1); }

void AudioEncoder::diagnostic(const std::string& line) const {
    if (onDiagnostic) onDiagnostic(line);
}

void AudioEncoder::invalidate() {
    if (isInvalidated_) return;
    isInvalidated_ = true;
    if (avConverter_) avConverter_->reset();
    avConverter_.reset();
    pcmInputFormat_.reset();
    aacOutputFormat_.reset();
    pendingSamples_.clear();
    pendingSamples_.shrink_to_fit();
    if (diagnosticCapture_) diagnosticCapture_->close();
    diagnosticCapture_.reset();
}

// ---------------------------------------------------------------------------------------------
// Converter set-up

void AudioEncoder::configureConverter(const SampleBuffer& sampleBuffer) {
    if (avConverter_) return;
    if (!sampleBuffer.audioFormat) throw EncoderError::noFormatDescription();
    const AudioStreamDescription& input = *sampleBuffer.audioFormat;
    // Samples of a kind this encoder cannot read are refused before anything is built for them.
    if (!sampleKind(input)) throw EncoderError::invalidSampleBuffer();

    const std::uint32_t inputChannelCount = input.channelsPerFrame;
    const bool inputIsNonInterleaved = (input.formatFlags & AudioFormatFlag::isNonInterleaved) != 0;
    const std::uint32_t channels = std::max<std::uint32_t>(inputChannelCount, 1);

    auto pcmFormat = AudioFormat::makeFloat32PCM(input.sampleRate, channels, /*interleaved=*/false);
    if (!pcmFormat) throw EncoderError::noFormatDescription();

    auto aacFormat = AudioFormat::make(outputStreamDescription(configuration_));
    if (!aacFormat) {
        throw EncoderError::converterCreationFailed("AVAudioFormat(streamDescription:) 建立 AAC 輸出格式失敗");
    }

    const std::string inRate = formatRate(input.sampleRate);
    const std::string outRate = formatRate(configuration_.sampleRate);
    std::unique_ptr<AudioConverter> converter = converterFactory_ ? converterFactory_(*pcmFormat, *aacFormat) : nullptr;
    if (!converter) {
        throw EncoderError::converterCreationFailed(fmt::format(
            "AVAudioConverter(from:to:) 回傳 nil——這台 Mac 可能不支援 {}Hz/{}ch → AAC-LC {}Hz/{}ch "
            "這個轉換組合（第四十輪已經真機驗證過這個組合能動，如果這次又失敗，代表這次的失敗原因跟 codec "
            "選擇無關，需要往其他方向排查）",
            inRate, inputChannelCount, outRate, configuration_.channelCount));
    }

    const std::uint32_t target = configuration_.bitrate;
    const std::vector<std::uint32_t> rates = converter->applicableEncodeBitRates();
    std::uint32_t pick = target;
    if (!rates.empty() && std::find(rates.begin(), rates.end(), target) == rates.end()) {
        diagnostic(fmt::format("AudioEncoder：目標位元率 {}bps 不在這個 encoder 支援的離散清單內，改選最接近的可用值",
                               target));
        pick = nearestApplicableBitrate(target, rates);
    }
    converter->setBitRate(pick);

    inputChannelCount_ = inputChannelCount;
    inputIsNonInterleaved_ = inputIsNonInterleaved;
    inputSampleRate_ = input.sampleRate;
    pcmInputFormat_ = std::move(pcmFormat);
    aacOutputFormat_ = std::move(aacFormat);
    avConverter_ = std::move(converter);

    std::string line = fmt::format("AudioEncoder：AVAudioConverter 建立成功（輸入 {}Hz/{}ch", inRate, inputChannelCount);
    line += inputIsNonInterleaved ? "，來源為 non-interleaved，input block 已改成手動解交錯" : "，來源已是 interleaved";
    line += fmt::format(" → 輸出 AAC-LC（第四十三輪退回）{}Hz/{}ch @ {}bps", outRate, configuration_.channelCount, pick);
    if (pick != target) line += fmt::format("（目標值 {}bps 不可用，已改選最接近的支援值", target);
    line += "）";
    diagnostic(line);

    std::vector<std::uint8_t> cookie = aacOutputFormat_->magicCookie();
    if (!cookie.empty()) {
        diagnostic("AudioEncoder：AVAudioFormat.magicCookie 這次意外拿到非空值，直接使用這份真的（跟合成版預期不同，"
                   "值得留意 Apple 是不是改了行為）");
    } else if (auto asc = makeAudioSpecificConfig(configuration_.sampleRate, configuration_.channelCount)) {
        cookie = std::move(*asc);
        diagnostic(fmt::format("AudioEncoder：AVAudioFormat.magicCookie 是空的（第六輪真機測試已證實這個 API "
                               "在這個建構路徑下永遠是空的），改用手動合成的 AudioSpecificConfig（{} bytes）",
                               cookie.size()));
    } else {
        diagnostic(fmt::format("AudioEncoder：⚠️ 取樣率 {}Hz 不在 ISO 14496-3 標準表內，沒有實作對應的 "
                               "AudioSpecificConfig 合成邏輯，送出空的 magicCookie，靠第四十輪已驗證的「iOS "
                               "端缺 cookie 也繼續硬解」路徑",
                               outRate));
    }

    // A diagnostic handler may have invalidated the encoder meanwhile.
    if (isInvalidated_) return;
    if (onFormatDescriptionAvailable) {
        onFormatDescriptionAvailable(configuration_.sampleRate, clampedNarrow<std::int32_t>(configuration_.channelCount),
                                     cookie);
    }

    startDiagnosticCapture();
}

// ---------------------------------------------------------------------------------------------
// Encoding

std::vector<AudioEncoder::Packet> AudioEncoder::encode(const SampleBuffer& sampleBuffer) {
    if (isInvalidated_) return {};
    configureConverter(sampleBuffer);
    if (isInvalidated_) return {};
    appendSamples(sampleBuffer);

    std::vector<Packet> packets;
    while (avConverter_ && pendingSamples_.size() >= blockSampleCount()) {
        std::optional<Packet> packet = convertOnePacket();
        if (!packet) break;
        packets.push_back(std::move(*packet));
    }
    for (std::size_t i = 0; i < packets.size(); ++i) {
        ++encodedPacketCount_;
        if (encodedPacketCount_ == 1 || encodedPacketCount_ % 100 == 0) {
            diagnostic(fmt::format("AudioEncoder：已編出第 {} 個 AAC packet 累計", encodedPacketCount_));
        }
    }
    return packets;
}

void AudioEncoder::appendSamples(const SampleBuffer& sampleBuffer) {
    if (!sampleBuffer.valid || !sampleBuffer.audioBufferList || !sampleBuffer.audioFormat) {
        throw EncoderError::invalidSampleBuffer();
    }
    const AudioStreamDescription& format = *sampleBuffer.audioFormat;
    const auto kind = sampleKind(format);
    const bool nonInterleaved = (format.formatFlags & AudioFormatFlag::isNonInterleaved) != 0;
    // The converter was built for the first buffer's layout: other layouts would be misread.
    if (!kind || format.channelsPerFrame != inputChannelCount_ || nonInterleaved != inputIsNonInterleaved_ ||
        !(format.sampleRate == inputSampleRate_)) {
        throw EncoderError::invalidSampleBuffer();
    }

    const std::size_t bytesPerSample = *kind == SampleKind::int16 ? 2 : 4;
    const auto readSample = [kind = *kind](const std::uint8_t* p) -> float {
        switch (kind) {
            case SampleKind::float32: {
                float v;
                std::memcpy(&v, p, sizeof v);
                return v;
            }
            case SampleKind::int16: {
                std::int16_t v;
                std::memcpy(&v, p, sizeof v);
                return static_cast<float>(v) * (1.0f / 32768.0f);
            }
            case SampleKind::int32: {
                std::int32_t v;
                std::memcpy(&v, p, sizeof v);
                return static_cast<float>(static_cast<double>(v) * (1.0 / 2147483648.0));
            }
        }
        return 0.0f;
    };

    const std::vector<AudioBuffer>& buffers = *sampleBuffer.audioBufferList;
    const std::size_t channels = channelsPerFrame();
    const std::size_t start = pendingSamples_.size();

    if (inputIsNonInterleaved_ && buffers.size() >= 2) {
        // One plane per channel: the planes must be the channels, or frames would be scrambled.
        if (buffers.size() != channels) throw EncoderError::invalidSampleBuffer();
        std::size_t frames = SIZE_MAX;
        for (const AudioBuffer& buffer : buffers) {
            if (buffer.data.empty()) return;
            frames = std::min(frames, buffer.data.size() / bytesPerSample);
        }
        if (frames == 0) return;
        pendingSamples_.resize(start + frames * channels);
        float* out = pendingSamples_.data() + start;
        if (*kind == SampleKind::float32 && channels == 2) {
            const auto* left = buffers[0].data.data();
            const auto* right = buffers[1].data.data();
            for (std::size_t f = 0; f < frames; ++f) {
                std::memcpy(out + 2 * f, left + 4 * f, 4);
                std::memcpy(out + 2 * f + 1, right + 4 * f, 4);
            }
        } else {
            for (std::size_t f = 0; f < frames; ++f) {
                for (std::size_t c = 0; c < channels; ++c) {
                    out[f * channels + c] = readSample(buffers[c].data.data() + f * bytesPerSample);
                }
            }
        }
    } else {
        if (buffers.empty()) return;
        // A single plane only holds every channel when the samples are interleaved.
        if (inputIsNonInterleaved_ && channels > 1) throw EncoderError::invalidSampleBuffer();
        const AudioBuffer& buffer = buffers.front();
        // Whole frames only: a partial frame would shift every later frame's channels.
        const std::size_t samples = buffer.data.size() / bytesPerSample / channels * channels;
        if (samples == 0) return;
        pendingSamples_.resize(start + samples);
        float* out = pendingSamples_.data() + start;
        if (*kind == SampleKind::float32) {
            std::memcpy(out, buffer.data.data(), samples * sizeof(float));
        } else {
            for (std::size_t i = 0; i < samples; ++i) out[i] = readSample(buffer.data.data() + i * bytesPerSample);
        }
    }
    captureSamples(std::span<const float>(pendingSamples_).subspan(start));
}

std::optional<AudioEncoder::Packet> AudioEncoder::convertOnePacket() {
    if (pendingSamples_.size() < blockSampleCount()) return std::nullopt;
    AudioCompressedBuffer output(*aacOutputFormat_, 1, avConverter_->maximumOutputPacketSize());
    const AudioConverter::ConversionResult result =
        avConverter_->convert(output, [this](std::uint32_t frameCount) { return provideInput(frameCount); });

    switch (result.status) {
        case AudioConverter::OutputStatus::haveData:
            if (output.byteLength() == 0) return std::nullopt;
            return Packet(output.bytes().begin(), output.bytes().end());
        case AudioConverter::OutputStatus::inputRanDry:
            ++inputRanDryCount_;
            if (inputRanDryCount_ == 1 || inputRanDryCount_ % 100 == 0) {
                diagnostic(fmt::format(
                    "AVAudioConverter.convert 回報 inputRanDry（正常，非錯誤），累計第 {} 次，目前 pendingSamples 還剩 {} 個樣本",
                    inputRanDryCount_, pendingSamples_.size()));
            }
            return std::nullopt;
        case AudioConverter::OutputStatus::endOfStream:
            return std::nullopt;
        case AudioConverter::OutputStatus::error: {
            ++fillBufferFailureCount_;
            const std::string description = result.error ? result.error->description : "unknown error";
            if (fillBufferFailureCount_ == 1 || fillBufferFailureCount_ % 100 == 0) {
                diagnostic(fmt::format("AVAudioConverter.convert 失敗累計第 {} 次：{}", fillBufferFailureCount_, description));
            }
            throw EncoderError::convertFailed(description);
        }
    }
    diagnostic(fmt::format("AVAudioConverter.convert 回傳未知的 AVAudioConverterOutputStatus（{}），當作沒有輸出處理",
                           static_cast<std::int32_t>(result.status)));
    return std::nullopt;
}

// The converter calls this only from inside `convert`, on this thread, while `encode` runs.
AudioConverter::InputResult AudioEncoder::provideInput(std::uint32_t frameCount) {
    const std::size_t channels = channelsPerFrame();
    const std::size_t available = pendingSamples_.size() / channels;
    if (available == 0 || !pcmInputFormat_) return {AudioConverter::InputStatus::noDataNow, nullptr};
    const std::size_t frames = std::min<std::size_t>(available, frameCount);
    auto buffer = AudioPCMBuffer::make(*pcmInputFormat_, static_cast<std::uint32_t>(frames));
    if (!buffer || !buffer->floatChannelData(0)) return {AudioConverter::InputStatus::noDataNow, nullptr};

    buffer->setFrameLength(static_cast<std::uint32_t>(frames));
    const float* in = pendingSamples_.data();
    if (channels == 2) {
        float* left = buffer->floatChannelData(0);
        float* right = buffer->floatChannelData(1);
        for (std::size_t f = 0; f < frames; ++f) {
            left[f] = in[2 * f];
            right[f] = in[2 * f + 1];
        }
    } else {
        for (std::size_t c = 0; c < channels; ++c) {
            float* plane = buffer->floatChannelData(static_cast<std::uint32_t>(c));
            for (std::size_t f = 0; f < frames; ++f) plane[f] = in[f * channels + c];
        }
    }
    pendingSamples_.erase(pendingSamples_.begin(), pendingSamples_.begin() + static_cast<std::ptrdiff_t>(frames * channels));
    return {AudioConverter::InputStatus::haveData, std::move(buffer)};
}

// ---------------------------------------------------------------------------------------------
// Bit rate

void AudioEncoder::setBitrate(std::uint32_t bitrate) {
    if (!avConverter_) return;
    const std::uint32_t pick = nearestApplicableBitrate(bitrate, avConverter_->applicableEncodeBitRates());
    if (avConverter_->bitRate() == pick) return;
    avConverter_->setBitRate(pick);
    diagnostic(fmt::format("AudioEncoder：即時調整位元率 → {}bps（目標 {}bps，見「網路自適應」新功能）", pick, bitrate));
}

// ---------------------------------------------------------------------------------------------
// Diagnostic capture

void AudioEncoder::startDiagnosticCapture() {
    if (!diagnosticDirectory_ || diagnosticCapture_) return;
    if (!(inputSampleRate_ > 0) || inputChannelCount_ == 0) return;
    std::string failure;
    diagnosticCapture_ = AudioDiagnosticCapture::open(*diagnosticDirectory_, inputSampleRate_, inputChannelCount_,
                                                      diagnosticCaptureSeconds, failure);
    if (!diagnosticCapture_) {
        diagnostic(fmt::format("AudioEncoder：診斷錄音無法開始，略過：{}", failure));
        return;
    }
    diagnostic(fmt::format("AudioEncoder：診斷錄音開始，前 {} 秒原始輸入寫入 {}（{}Hz/{}ch，32-bit float CAF）",
                           diagnosticCaptureSeconds, diagnosticCapture_->path().string(), formatRate(inputSampleRate_),
                           inputChannelCount_));
}

void AudioEncoder::captureSamples(std::span<const float> samples) {
    if (!diagnosticCapture_) return;
    std::string failure;
    switch (diagnosticCapture_->write(samples, failure)) {
        case AudioDiagnosticCapture::WriteResult::writing:
            return;
        case AudioDiagnosticCapture::WriteResult::finished:
            diagnostic(fmt::format("AudioEncoder：診斷錄音已寫滿 {} 秒（{} frames），檔案已關閉：{}",
                                   diagnosticCaptureSeconds, diagnosticCapture_->framesWritten(),
                                   diagnosticCapture_->path().string()));
            break;
        case AudioDiagnosticCapture::WriteResult::failed:
            diagnostic(fmt::format("AudioEncoder：診斷錄音寫入失敗，已停止：{}", failure));
            break;
    }
    diagnosticCapture_.reset();
}

}  // namespace mivodrell
