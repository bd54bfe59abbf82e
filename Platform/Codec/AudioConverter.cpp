#include "Platform/Codec/AudioConverter.h"

#include "Platform/Base/Narrowing.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

namespace mivodrell {

// ---------------------------------------------------------------------------------------------
// AudioFormat

std::optional<AudioFormat> AudioFormat::makeFloat32PCM(double sampleRate, std::uint32_t channelCount,
                                                       bool interleaved) {
    AudioStreamDescription d;
    d.sampleRate = sampleRate;
    d.formatID = AudioFormatID::linearPCM;
    d.formatFlags = AudioFormatFlag::isFloat | AudioFormatFlag::isPacked;
    if (!interleaved) d.formatFlags |= AudioFormatFlag::isNonInterleaved;
    d.framesPerPacket = 1;
    d.channelsPerFrame = channelCount;
    d.bitsPerChannel = 32;
    d.bytesPerFrame = interleaved ? 4 * channelCount : 4;
    d.bytesPerPacket = d.bytesPerFrame;
    return make(d);
}

std::optional<AudioFormat> AudioFormat::make(const AudioStreamDescription& description) {
    if (!std::isfinite(description.sampleRate) || description.sampleRate <= 0) return std::nullopt;
    if (description.channelsPerFrame == 0 || description.channelsPerFrame > maximumChannelCount) {
        return std::nullopt;
    }
    if (description.formatID == 0) return std::nullopt;
    return AudioFormat(description);
}

bool AudioFormat::isFloat32PCM() const {
    return description_.formatID == AudioFormatID::linearPCM &&
           (description_.formatFlags & AudioFormatFlag::isFloat) != 0 &&
           (description_.formatFlags & AudioFormatFlag::isBigEndian) == 0 && description_.bitsPerChannel == 32;
}

bool AudioFormat::isInterleaved() const {
    return (description_.formatFlags & AudioFormatFlag::isNonInterleaved) == 0;
}

// ---------------------------------------------------------------------------------------------
// AudioPCMBuffer

AudioPCMBuffer::AudioPCMBuffer(const AudioFormat& format, std::uint32_t frameCapacity)
    : format_(format),
      frameCapacity_(frameCapacity),
      samples_(static_cast<std::size_t>(frameCapacity) * format.channelCount()) {}

std::unique_ptr<AudioPCMBuffer> AudioPCMBuffer::make(const AudioFormat& format, std::uint32_t frameCapacity) {
    if (!format.isFloat32PCM() || format.isInterleaved() || frameCapacity == 0) return nullptr;
    return std::unique_ptr<AudioPCMBuffer>(new AudioPCMBuffer(format, frameCapacity));
}

void AudioPCMBuffer::setFrameLength(std::uint32_t frameLength) {
    frameLength_ = std::min(frameLength, frameCapacity_);
}

float* AudioPCMBuffer::floatChannelData(std::uint32_t channel) {
    if (channel >= format_.channelCount()) return nullptr;
    return samples_.data() + static_cast<std::size_t>(channel) * frameCapacity_;
}

const float* AudioPCMBuffer::floatChannelData(std::uint32_t channel) const {
    if (channel >= format_.channelCount()) return nullptr;
    return samples_.data() + static_cast<std::size_t>(channel) * frameCapacity_;
}

// ---------------------------------------------------------------------------------------------
// AudioCompressedBuffer

AudioCompressedBuffer::AudioCompressedBuffer(const AudioFormat& format, std::uint32_t packetCapacity,
                                             std::uint32_t maximumPacketSize)
    : format_(format), packetCapacity_(packetCapacity), maximumPacketSize_(maximumPacketSize) {
    bytes_.reserve(std::min<std::size_t>(static_cast<std::size_t>(packetCapacity) * maximumPacketSize, 1u << 20));
}

bool AudioCompressedBuffer::appendPacket(std::span<const std::uint8_t> packet) {
    if (packetCount_ >= packetCapacity_ || packet.size() > maximumPacketSize_) return false;
    bytes_.insert(bytes_.end(), packet.begin(), packet.end());
    ++packetCount_;
    return true;
}

void AudioCompressedBuffer::clear() {
    bytes_.clear();
    packetCount_ = 0;
}

// ---------------------------------------------------------------------------------------------
// The libavcodec converter

namespace {

constexpr int aacFrameSize = 1024;
constexpr std::uint32_t maximumAACChannels = 8;
// AAC-LC spends at most 6144 bits per channel on one frame.
constexpr std::uint32_t maximumPacketBytesPerChannel = 768;
constexpr const char* errorDomain = "AudioConverter";

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct SwrDeleter {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FifoDeleter {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

std::string describeAVError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

PlatformError makeError(int code, const std::string& what) {
    return PlatformError{errorDomain, code, what + ": " + describeAVError(code)};
}

class LibavAACConverter final : public AudioConverter {
public:
    static std::unique_ptr<LibavAACConverter> make(const AudioFormat& input, const AudioFormat& output) {
        if (!input.isFloat32PCM() || input.isInterleaved() ||
            output.streamDescription().formatID != AudioFormatID::mpeg4AAC) {
            return nullptr;
        }
        const auto outputFramesPerPacket = output.streamDescription().framesPerPacket;
        if (outputFramesPerPacket != 0 && outputFramesPerPacket != aacFrameSize) return nullptr;
        // Resampling works on whole rates; a fractional input rate is taken to the nearest Hz.
        const int inRate = roundClamped<int>(input.sampleRate(), 0);
        const auto outRate = exactInteger<int>(output.sampleRate());
        if (inRate < 1 || !outRate || *outRate < 1) return nullptr;
        if (output.channelCount() < 1 || output.channelCount() > maximumAACChannels) return nullptr;

        std::unique_ptr<LibavAACConverter> converter(
            new LibavAACConverter(inRate, *outRate, input.channelCount(), output.channelCount()));
        if (!converter->openCodec(converter->bitRate_) || !converter->setUpResampler()) return nullptr;
        converter->fifo_.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, converter->outChannels_, aacFrameSize * 2));
        converter->frame_.reset(av_frame_alloc());
        converter->packet_.reset(av_packet_alloc());
        if (!converter->fifo_ || !converter->frame_ || !converter->packet_ || !converter->allocateFrame()) {
            return nullptr;
        }
        return converter;
    }

    ~LibavAACConverter() override { av_channel_layout_uninit(&layout_); }

    std::vector<std::uint32_t> applicableEncodeBitRates() const override { return {}; }

    std::uint32_t bitRate() const override { return bitRate_; }

    void setBitRate(std::uint32_t bitRate) override {
        if (bitRate == bitRate_) return;
        bitRate_ = bitRate;
        if (!framesSent_) {
            // Nothing encoded yet: the encoder is opened afresh before the first frame, so that
            // its bit reservoir is sized for the new rate too.
            needsReopen_ = true;
        } else {
            // The encoder's rate control reads the bit rate for every frame.
            codec_->bit_rate = bitRate_;
        }
    }

    std::uint32_t maximumOutputPacketSize() const override {
        return maximumPacketBytesPerChannel * static_cast<std::uint32_t>(outChannels_);
    }

    ConversionResult convert(AudioCompressedBuffer& output, const InputBlock& input) override {
        output.clear();
        if (ended_) return {OutputStatus::endOfStream, std::nullopt};
        if (needsReopen_) {
            // It opened with the same settings when the converter was made, so this should not
            // fail; should it, the encoder in hand goes on with the new rate.
            if (!openCodec(bitRate_)) codec_->bit_rate = bitRate_;
            needsReopen_ = false;
        }
        for (;;) {
            const int received = avcodec_receive_packet(codec_.get(), packet_.get());
            if (received == 0) {
                const bool stored = output.appendPacket({packet_->data, static_cast<std::size_t>(packet_->size)});
                const int size = packet_->size;
                av_packet_unref(packet_.get());
                if (!stored) {
                    return failure(AVERROR(ENOSPC), "the encoded packet (" + std::to_string(size) +
                                                        " bytes) does not fit the output buffer");
                }
                return {OutputStatus::haveData, std::nullopt};
            }
            if (received == AVERROR_EOF) {
                ended_ = true;
                return {OutputStatus::endOfStream, std::nullopt};
            }
            if (received != AVERROR(EAGAIN)) return failure(received, "receiving a packet");
            if (flushSent_) return failure(AVERROR_BUG, "the drained encoder asked for input");

            // The encoder wants a frame.
            const int buffered = av_audio_fifo_size(fifo_.get());
            if (buffered >= aacFrameSize || (inputEnded_ && buffered > 0)) {
                if (auto error = sendFrameFromFifo(std::min(buffered, aacFrameSize))) return *error;
                continue;
            }
            if (inputEnded_) {
                const int sent = avcodec_send_frame(codec_.get(), nullptr);
                if (sent < 0) return failure(sent, "draining the encoder");
                flushSent_ = true;
                continue;
            }

            // Pull enough input for the rest of a frame at the output rate.
            const std::int64_t missing = aacFrameSize - buffered;
            const std::int64_t wanted = (missing * inRate_ + outRate_ - 1) / outRate_;
            InputResult result = input(clampedNarrow<std::uint32_t>(wanted));
            switch (result.status) {
                case InputStatus::haveData:
                    if (!result.buffer || result.buffer->frameLength() == 0) {
                        return {OutputStatus::inputRanDry, std::nullopt};
                    }
                    if (auto error = takeInput(*result.buffer)) return *error;
                    continue;
                case InputStatus::noDataNow:
                    return {OutputStatus::inputRanDry, std::nullopt};
                case InputStatus::endOfStream:
                    inputEnded_ = true;
                    if (auto error = flushResampler()) return *error;
                    continue;
            }
            return failure(AVERROR(EINVAL), "the input block gave an unknown status");
        }
    }

    void reset() override {
        // The native encoder cannot be flushed: a new one is opened before the next frame.
        needsReopen_ = true;
        if (swr_) swr_init(swr_.get());
        av_audio_fifo_reset(fifo_.get());
        inputEnded_ = flushSent_ = ended_ = false;
        nextPts_ = 0;
    }

private:
    LibavAACConverter(int inRate, int outRate, std::uint32_t inChannels, std::uint32_t outChannels)
        : inRate_(inRate),
          outRate_(outRate),
          inChannels_(static_cast<int>(inChannels)),
          outChannels_(static_cast<int>(outChannels)) {
        av_channel_layout_default(&layout_, outChannels_);
    }

    bool openCodec(std::uint32_t bitRate) {
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) return false;
        std::unique_ptr<AVCodecContext, CodecContextDeleter> context(avcodec_alloc_context3(codec));
        if (!context) return false;
        context->sample_rate = outRate_;
        context->sample_fmt = AV_SAMPLE_FMT_FLTP;
        context->time_base = AVRational{1, outRate_};
        context->bit_rate = bitRate;
        context->profile = FF_PROFILE_AAC_LOW;
        if (av_channel_layout_copy(&context->ch_layout, &layout_) < 0) return false;
        if (avcodec_open2(context.get(), codec, nullptr) < 0 || context->frame_size != aacFrameSize) return false;
        codec_ = std::move(context);
        framesSent_ = false;
        nextPts_ = 0;
        return true;
    }

    bool setUpResampler() {
        if (inRate_ == outRate_ && inChannels_ == outChannels_) return true;  // frames go straight in
        AVChannelLayout inLayout{};
        av_channel_layout_default(&inLayout, inChannels_);
        SwrContext* swr = nullptr;
        const int made = swr_alloc_set_opts2(&swr, &layout_, AV_SAMPLE_FMT_FLTP, outRate_, &inLayout,
                                             AV_SAMPLE_FMT_FLTP, inRate_, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        swr_.reset(swr);
        if (made < 0 || !swr_ || swr_init(swr_.get()) < 0) return false;
        return true;
    }

    bool allocateFrame() {
        frame_->format = AV_SAMPLE_FMT_FLTP;
        frame_->nb_samples = aacFrameSize;
        frame_->sample_rate = outRate_;
        if (av_channel_layout_copy(&frame_->ch_layout, &layout_) < 0) return false;
        return av_frame_get_buffer(frame_.get(), 0) >= 0;
    }

    static ConversionResult failure(int code, const std::string& what) {
        return {OutputStatus::error, makeError(code, what)};
    }

    // Moves `count` frames from the FIFO into the encoder.
    std::optional<ConversionResult> sendFrameFromFifo(int count) {
        // The buffer always holds a whole frame; only the final frame of a stream may be shorter.
        frame_->nb_samples = aacFrameSize;
        if (const int w = av_frame_make_writable(frame_.get()); w < 0) return failure(w, "preparing a frame");
        const int read = av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), count);
        if (read != count) return failure(read < 0 ? read : AVERROR_BUG, "reading the sample FIFO");
        frame_->nb_samples = count;
        frame_->pts = nextPts_;
        nextPts_ += count;
        const int sent = avcodec_send_frame(codec_.get(), frame_.get());
        frame_->nb_samples = aacFrameSize;
        if (sent < 0) return failure(sent, "sending a frame");
        framesSent_ = true;
        return std::nullopt;
    }

    std::optional<ConversionResult> takeInput(const AudioPCMBuffer& buffer) {
        if (buffer.format().channelCount() != static_cast<std::uint32_t>(inChannels_) ||
            !buffer.format().isFloat32PCM() || buffer.format().isInterleaved()) {
            return failure(AVERROR(EINVAL), "the input block gave a buffer of another format");
        }
        const int frames = clampedNarrow<int>(buffer.frameLength());
        planes_.resize(static_cast<std::size_t>(inChannels_));
        for (int c = 0; c < inChannels_; ++c) {
            planes_[static_cast<std::size_t>(c)] =
                const_cast<float*>(buffer.floatChannelData(static_cast<std::uint32_t>(c)));
        }
        if (!swr_) return writeToFifo(reinterpret_cast<void**>(planes_.data()), frames);
        const int capacity = swr_get_out_samples(swr_.get(), frames);
        if (capacity < 0) return failure(capacity, "sizing the resampler output");
        inPlanes_.resize(planes_.size());
        for (std::size_t c = 0; c < planes_.size(); ++c) inPlanes_[c] = reinterpret_cast<const std::uint8_t*>(planes_[c]);
        return resampleInto(inPlanes_.data(), frames, capacity);
    }

    std::optional<ConversionResult> flushResampler() {
        if (!swr_) return std::nullopt;
        const int capacity = swr_get_out_samples(swr_.get(), 0);
        if (capacity <= 0) return std::nullopt;
        return resampleInto(nullptr, 0, capacity);
    }

    std::optional<ConversionResult> resampleInto(const std::uint8_t** in, int frames, int capacity) {
        const auto perChannel = static_cast<std::size_t>(capacity);
        scratch_.resize(perChannel * static_cast<std::size_t>(outChannels_));
        outPlanes_.resize(static_cast<std::size_t>(outChannels_));
        for (int c = 0; c < outChannels_; ++c) {
            outPlanes_[static_cast<std::size_t>(c)] = reinterpret_cast<std::uint8_t*>(scratch_.data() + perChannel * static_cast<std::size_t>(c));
        }
        const int made = swr_convert(swr_.get(), outPlanes_.data(), capacity, in, frames);
        if (made < 0) return failure(made, "resampling");
        return writeToFifo(reinterpret_cast<void**>(outPlanes_.data()), made);
    }

    std::optional<ConversionResult> writeToFifo(void** planes, int frames) {
        if (frames <= 0) return std::nullopt;
        const int written = av_audio_fifo_write(fifo_.get(), planes, frames);
        if (written != frames) return failure(written < 0 ? written : AVERROR(ENOMEM), "writing the sample FIFO");
        return std::nullopt;
    }

    const int inRate_;
    const int outRate_;
    const int inChannels_;
    const int outChannels_;
    AVChannelLayout layout_{};
    std::uint32_t bitRate_ = 64000;
    std::unique_ptr<AVCodecContext, CodecContextDeleter> codec_;
    std::unique_ptr<SwrContext, SwrDeleter> swr_;
    std::unique_ptr<AVAudioFifo, FifoDeleter> fifo_;
    std::unique_ptr<AVFrame, FrameDeleter> frame_;
    std::unique_ptr<AVPacket, PacketDeleter> packet_;
    std::vector<float*> planes_;
    std::vector<const std::uint8_t*> inPlanes_;
    std::vector<std::uint8_t*> outPlanes_;
    std::vector<float> scratch_;
    std::int64_t nextPts_ = 0;
    bool framesSent_ = false;
    bool needsReopen_ = false;
    bool inputEnded_ = false;
    bool flushSent_ = false;
    bool ended_ = false;
};

}  // namespace

std::unique_ptr<AudioConverter> AudioConverter::make(const AudioFormat& input, const AudioFormat& output) {
    // The AAC encoder prints statistics at the info level whenever it closes; keep stderr for
    // errors unless the process chose its own libav log level.
    static std::once_flag quietLog;
    std::call_once(quietLog, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    });
    return LibavAACConverter::make(input, output);
}

}  // namespace mivodrell
