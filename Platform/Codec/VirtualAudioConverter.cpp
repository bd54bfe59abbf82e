#include "Platform/Codec/VirtualAudioConverter.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>

namespace mivodrell {

namespace {
constexpr std::uint32_t framesPerPacket = 1024;
}

AudioConverterFactory VirtualAudioConverter::factory(std::shared_ptr<Behaviour> behaviour,
                                                     std::shared_ptr<Journal> journal) {
    return [behaviour, journal](const AudioFormat& input, const AudioFormat& output) -> std::unique_ptr<AudioConverter> {
        if (behaviour->failCreation) return nullptr;
        return std::make_unique<VirtualAudioConverter>(input, output, behaviour, journal);
    };
}

VirtualAudioConverter::VirtualAudioConverter(const AudioFormat& input, const AudioFormat& output,
                                             std::shared_ptr<Behaviour> behaviour, std::shared_ptr<Journal> journal)
    : input_(input),
      output_(output),
      behaviour_(std::move(behaviour)),
      journal_(std::move(journal)),
      primingLeft_(behaviour_->primingFrames) {
    ++journal_->creations;
    journal_->destroyed = false;
    journal_->inputFormat = input_;
    journal_->outputFormat = output_;
    journal_->receivedPlanes.assign(input_.channelCount(), {});
}

VirtualAudioConverter::~VirtualAudioConverter() { journal_->destroyed = true; }

std::vector<std::uint32_t> VirtualAudioConverter::applicableEncodeBitRates() const {
    return behaviour_->applicableEncodeBitRates;
}

void VirtualAudioConverter::setBitRate(std::uint32_t bitRate) {
    bitRate_ = bitRate;
    journal_->bitRates.push_back(bitRate);
}

std::uint32_t VirtualAudioConverter::maximumOutputPacketSize() const { return behaviour_->maximumOutputPacketSize; }

bool VirtualAudioConverter::receive(InputResult& result, bool keep) {
    if (result.status != InputStatus::haveData || !result.buffer || result.buffer->frameLength() == 0) return false;
    const auto& buffer = *result.buffer;
    for (std::uint32_t c = 0; c < input_.channelCount(); ++c) {
        const float* plane = buffer.floatChannelData(c);
        if (!plane) continue;
        journal_->receivedPlanes[c].insert(journal_->receivedPlanes[c].end(), plane, plane + buffer.frameLength());
    }
    if (keep) bufferedFrames_ += buffer.frameLength();
    return true;
}

void VirtualAudioConverter::writePacket(AudioCompressedBuffer& output, std::uint32_t size) {
    std::vector<std::uint8_t> bytes(std::min(size, output.maximumPacketSize()));
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(packetIndex_ + i);
    output.appendPacket(bytes);
    ++packetIndex_;
}

AudioConverter::ConversionResult VirtualAudioConverter::convert(AudioCompressedBuffer& output,
                                                                const InputBlock& input) {
    output.clear();
    ++journal_->conversions;
    if (!behaviour_->script.empty()) {
        Step step = behaviour_->script.front();
        behaviour_->script.pop_front();
        if (step.pullFrames > 0) {
            journal_->requestedFrameCounts.push_back(step.pullFrames);
            InputResult result = input(step.pullFrames);
            receive(result, /*keep=*/false);
        }
        if (step.status == OutputStatus::haveData && step.outputBytes > 0) writePacket(output, step.outputBytes);
        return {step.status, step.error};
    }
    if (ended_) return {OutputStatus::endOfStream, std::nullopt};
    // A packet's size follows the bit rate, as a real encoder's would on average.
    const double rate = output_.sampleRate() > 0 ? output_.sampleRate() : 1.0;
    const double bytesPerPacket = static_cast<double>(bitRate_) * framesPerPacket / (8.0 * rate);
    const auto packetSize = std::clamp<std::uint32_t>(truncateClamped<std::uint32_t>(bytesPerPacket, 1), 1, 65536);
    for (;;) {
        if (bufferedFrames_ >= framesPerPacket) {
            bufferedFrames_ -= framesPerPacket;
            if (primingLeft_ > 0) {
                --primingLeft_;
                continue;
            }
            writePacket(output, packetSize);
            return {OutputStatus::haveData, std::nullopt};
        }
        const auto wanted = static_cast<std::uint32_t>(framesPerPacket - bufferedFrames_);
        journal_->requestedFrameCounts.push_back(wanted);
        InputResult result = input(wanted);
        if (receive(result, /*keep=*/true)) continue;
        if (result.status == InputStatus::endOfStream) {
            ended_ = true;
            if (bufferedFrames_ > 0) {
                bufferedFrames_ = 0;
                writePacket(output, packetSize);
                return {OutputStatus::haveData, std::nullopt};
            }
            return {OutputStatus::endOfStream, std::nullopt};
        }
        return {OutputStatus::inputRanDry, std::nullopt};
    }
}

void VirtualAudioConverter::reset() {
    ++journal_->resets;
    bufferedFrames_ = 0;
    primingLeft_ = behaviour_->primingFrames;
    ended_ = false;
}

}  // namespace mivodrell
