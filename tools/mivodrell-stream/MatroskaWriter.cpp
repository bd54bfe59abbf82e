#include "MatroskaWriter.h"

#include "Platform/Base/Narrowing.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

namespace mivodrell::stream {
namespace {

std::string averror(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

constexpr std::uint8_t startCode[4] = {0, 0, 0, 1};

void appendAnnexB(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> nal) {
    out.insert(out.end(), std::begin(startCode), std::end(startCode));
    out.insert(out.end(), nal.begin(), nal.end());
}

// A copy in libavutil's allocator with the zeroed padding its parsers read past the end.
std::uint8_t* paddedCopy(const std::vector<std::uint8_t>& bytes) {
    auto* data = static_cast<std::uint8_t*>(av_mallocz(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (data && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
    return data;
}

}  // namespace

std::variant<std::unique_ptr<MatroskaWriter>, std::string> MatroskaWriter::create(const std::string& path, bool withAudio) {
    const std::string partial = path + ".partial";
    std::unique_ptr<MatroskaWriter> writer(new MatroskaWriter(path, partial, withAudio));
    int status = avformat_alloc_output_context2(&writer->context_, nullptr, "matroska", partial.c_str());
    if (status < 0 || !writer->context_) return "cannot prepare " + path + ": " + averror(status);
    status = avio_open(&writer->context_->pb, partial.c_str(), AVIO_FLAG_WRITE);
    if (status < 0) return "cannot write " + path + ": " + averror(status);
    return writer;
}

MatroskaWriter::MatroskaWriter(std::string path, std::string partialPath, bool withAudio)
    : path_(std::move(path)), partialPath_(std::move(partialPath)), withAudio_(withAudio) {}

MatroskaWriter::~MatroskaWriter() {
    if (context_) {
        if (context_->pb) avio_closep(&context_->pb);
        avformat_free_context(context_);
    }
    if (!finished_) std::remove(partialPath_.c_str());
}

void MatroskaWriter::setVideoFormat(const VideoFormat& format) { videoFormat_ = format; }
void MatroskaWriter::setAudioFormat(const AudioFormat& format) {
    if (!audioFormat_) audioFormat_ = format;
}

std::vector<std::uint8_t> MatroskaWriter::annexB(std::span<const std::uint8_t> payload, bool withParameterSets) const {
    std::vector<std::uint8_t> out;
    out.reserve(payload.size() + 256);
    if (withParameterSets && videoFormat_) {
        for (const auto& set : videoFormat_->parameterSets) appendAnnexB(out, set);
    }
    const std::size_t lengthSize = std::size_t(std::clamp(videoFormat_ ? videoFormat_->nalUnitHeaderLength : 4, 1, 4));
    std::size_t at = 0;
    while (at + lengthSize <= payload.size()) {
        std::size_t length = 0;
        for (std::size_t i = 0; i < lengthSize; ++i) length = (length << 8) | payload[at + i];
        at += lengthSize;
        if (length > payload.size() - at) break;  // a truncated unit: keep what was whole
        appendAnnexB(out, payload.subspan(at, length));
        at += length;
    }
    return out;
}

std::optional<std::string> MatroskaWriter::writeVideo(std::span<const std::uint8_t> payload, bool isKeyframe,
                                                      double presentationTime) {
    if (!std::isfinite(presentationTime)) {
        ++counts_.dropped;
        return std::nullopt;
    }
    if (!sawKeyframe_ && !isKeyframe) {
        ++counts_.dropped;
        return std::nullopt;
    }
    sawKeyframe_ = true;
    Held packet{true, isKeyframe, presentationTime, annexB(payload, isKeyframe)};
    if (!headerWritten_) {
        held_.push_back(std::move(packet));
        if (held_.size() > maxHeldPackets) {
            held_.pop_front();
            ++counts_.dropped;
        }
        if (videoFormat_ && (!withAudio_ || audioFormat_)) return writeHeader();
        return std::nullopt;
    }
    return writePacket(packet);
}

std::optional<std::string> MatroskaWriter::writeAudio(std::span<const std::uint8_t> bytes, double presentationTime) {
    if (!withAudio_ || !std::isfinite(presentationTime)) {
        ++counts_.dropped;
        return std::nullopt;
    }
    Held packet{false, false, presentationTime, {bytes.begin(), bytes.end()}};
    if (!headerWritten_) {
        held_.push_back(std::move(packet));
        if (held_.size() > maxHeldPackets) {
            held_.pop_front();
            ++counts_.dropped;
        }
        if (videoFormat_ && audioFormat_ && sawKeyframe_) return writeHeader();
        return std::nullopt;
    }
    return writePacket(packet);
}

std::optional<std::string> MatroskaWriter::writeHeader() {
    if (!videoFormat_) return "no video was received";
    videoStream_ = avformat_new_stream(context_, nullptr);
    if (!videoStream_) return "cannot add the video track";
    AVCodecParameters* video = videoStream_->codecpar;
    video->codec_type = AVMEDIA_TYPE_VIDEO;
    video->codec_id = AV_CODEC_ID_HEVC;
    video->width = videoFormat_->width;
    video->height = videoFormat_->height;
    std::vector<std::uint8_t> sets;
    for (const auto& set : videoFormat_->parameterSets) appendAnnexB(sets, set);
    video->extradata = paddedCopy(sets);
    video->extradata_size = int(sets.size());
    videoStream_->time_base = AVRational{1, 1000};

    if (withAudio_ && audioFormat_) {
        audioStream_ = avformat_new_stream(context_, nullptr);
        if (!audioStream_) return "cannot add the audio track";
        AVCodecParameters* audio = audioStream_->codecpar;
        audio->codec_type = AVMEDIA_TYPE_AUDIO;
        audio->codec_id = AV_CODEC_ID_AAC;
        audio->sample_rate = audioFormat_->sampleRate;
        av_channel_layout_default(&audio->ch_layout, audioFormat_->channelCount);
        audio->frame_size = 1024;
        audio->extradata = paddedCopy(audioFormat_->audioSpecificConfig);
        audio->extradata_size = int(audioFormat_->audioSpecificConfig.size());
        audioStream_->time_base = AVRational{1, 1000};
    }
    const int status = avformat_write_header(context_, nullptr);
    if (status < 0) return "cannot write the header of " + path_ + ": " + averror(status);
    headerWritten_ = true;

    while (!held_.empty()) {
        const Held packet = std::move(held_.front());
        held_.pop_front();
        if (auto error = writePacket(packet)) return error;
    }
    return std::nullopt;
}

std::optional<std::string> MatroskaWriter::writePacket(const Held& held) {
    AVStream* stream = held.video ? videoStream_ : audioStream_;
    std::int64_t& last = held.video ? lastVideoMs_ : lastAudioMs_;
    std::optional<double>& origin = held.video ? videoOrigin_ : audioOrigin_;
    if (!origin) origin = held.time;
    const std::int64_t ms = roundClamped<std::int64_t>((held.time - *origin) * 1000.0, -1);
    if (!stream || ms < 0 || ms < last) {
        ++counts_.dropped;
        return std::nullopt;
    }
    AVPacket* packet = av_packet_alloc();
    if (!packet || av_new_packet(packet, int(held.bytes.size())) < 0) {
        av_packet_free(&packet);
        return "out of memory";
    }
    std::memcpy(packet->data, held.bytes.data(), held.bytes.size());
    packet->stream_index = stream->index;
    packet->pts = packet->dts = av_rescale_q(ms, AVRational{1, 1000}, stream->time_base);
    if (held.keyframe || !held.video) packet->flags |= AV_PKT_FLAG_KEY;
    const int status = av_interleaved_write_frame(context_, packet);
    av_packet_free(&packet);
    if (status < 0) return "cannot write to " + path_ + ": " + averror(status);
    last = ms;
    if (held.video) {
        ++counts_.videoFrames;
        if (held.keyframe) ++counts_.keyframes;
    } else {
        ++counts_.audioPackets;
    }
    return std::nullopt;
}

std::optional<std::string> MatroskaWriter::finish() {
    if (finished_) return std::nullopt;
    if (!headerWritten_) {
        if (!videoFormat_ || !sawKeyframe_) return "no video was received";
        withAudio_ = withAudio_ && audioFormat_.has_value();
        if (auto error = writeHeader()) return error;
    }
    int status = av_write_trailer(context_);
    if (status < 0) return "cannot finish " + path_ + ": " + averror(status);
    status = avio_closep(&context_->pb);
    if (status < 0) return "cannot close " + path_ + ": " + averror(status);
    if (std::rename(partialPath_.c_str(), path_.c_str()) != 0) {
        return "cannot rename " + partialPath_ + " to " + path_ + ": " + std::strerror(errno);
    }
    finished_ = true;
    return std::nullopt;
}

}  // namespace mivodrell::stream
