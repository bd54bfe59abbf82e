#pragma once
// A deterministic audio converter for tests. It keeps the input rate (every 1024 input frames make
// one packet), holds back its first packets as an encoder's start-up delay would, can offer a list
// of applicable bit rates, and plays scripted results (errors, unknown statuses, empty output) in
// place of its normal behaviour. Everything it is asked and given is recorded in a journal that
// the test keeps.

#include "Platform/Codec/AudioConverter.h"

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace mivodrell {

class VirtualAudioConverter final : public AudioConverter {
public:
    // One scripted conversion: pull `pullFrames` frames once (when not 0; they are recorded and
    // then dropped), then end with `status`; with haveData, `outputBytes` bytes are written.
    struct Step {
        OutputStatus status = OutputStatus::haveData;
        std::optional<PlatformError> error;
        std::uint32_t pullFrames = 0;
        std::uint32_t outputBytes = 0;
    };

    struct Behaviour {
        bool failCreation = false;
        std::vector<std::uint32_t> applicableEncodeBitRates;
        std::uint32_t maximumOutputPacketSize = 1536;
        // Frames of 1024 that give no packet at the start (and after a reset).
        std::uint32_t primingFrames = 1;
        // Played one per `convert`, before the normal behaviour resumes.
        std::deque<Step> script;
    };

    struct Journal {
        int creations = 0;
        std::optional<AudioFormat> inputFormat;
        std::optional<AudioFormat> outputFormat;
        std::vector<std::uint32_t> bitRates;  // every value set through setBitRate
        std::vector<std::uint32_t> requestedFrameCounts;
        std::vector<std::vector<float>> receivedPlanes;  // every frame the input block gave, per channel
        int conversions = 0;
        int resets = 0;
        bool destroyed = false;
    };

    // A factory making virtual converters that follow `behaviour` (read at each call, so a test
    // may change it between conversions) and record into `journal`.
    static AudioConverterFactory factory(std::shared_ptr<Behaviour> behaviour, std::shared_ptr<Journal> journal);

    VirtualAudioConverter(const AudioFormat& input, const AudioFormat& output, std::shared_ptr<Behaviour> behaviour,
                          std::shared_ptr<Journal> journal);
    ~VirtualAudioConverter() override;

    std::vector<std::uint32_t> applicableEncodeBitRates() const override;
    std::uint32_t bitRate() const override { return bitRate_; }
    void setBitRate(std::uint32_t bitRate) override;
    std::uint32_t maximumOutputPacketSize() const override;
    ConversionResult convert(AudioCompressedBuffer& output, const InputBlock& input) override;
    void reset() override;

private:
    // Records what the input block gave (keeping it for packets when `keep`); false when it gave
    // no frames.
    bool receive(InputResult& result, bool keep);
    void writePacket(AudioCompressedBuffer& output, std::uint32_t size);

    AudioFormat input_;
    AudioFormat output_;
    std::shared_ptr<Behaviour> behaviour_;
    std::shared_ptr<Journal> journal_;
    std::uint32_t bitRate_ = 64000;
    std::uint64_t bufferedFrames_ = 0;
    std::uint32_t primingLeft_;
    std::uint32_t packetIndex_ = 0;
    bool ended_ = false;
};

}  // namespace mivodrell
