#include "MatroskaWriter.h"

#include "Platform/Base/Narrowing.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

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
    std::string name = path + ".XXXXXX.partial";
    const int fd = mkstemps(name.data(), int(std::strlen(".partial")));
    if (fd < 0) return "cannot write " + path + ": " + std::strerror(errno);
    fchmod(fd, 0644);
    std::unique_ptr<MatroskaWriter> writer(new MatroskaWriter(path, name, fd, withAudio));
    const int status = avformat_alloc_output_context2(&writer->context_, nullptr, "matroska", path.c_str());
    if (status < 0 || !writer->context_) return "cannot prepare " + path + ": " + averror(status);
    constexpr int bufferSize = 64 * 1024;
    auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
    if (buffer) {
        writer->context_->pb = avio_alloc_context(buffer, bufferSize, 1, writer.get(), nullptr, &writeBytes, &seekBytes);
    }
    if (!writer->context_->pb) {
        av_free(buffer);
        return "cannot prepare " + path + ": out of memory";
    }
    writer->context_->flags |= AVFMT_FLAG_CUSTOM_IO;
    return writer;
}

MatroskaWriter::MatroskaWriter(std::string path, std::string partialPath, int fd, bool withAudio)
    : path_(std::move(path)), partialPath_(std::move(partialPath)), fd_(fd), withAudio_(withAudio) {}

MatroskaWriter::~MatroskaWriter() {
    if (context_) {
        if (context_->pb) {
            av_freep(&context_->pb->buffer);
            avio_context_free(&context_->pb);
        }
        avformat_free_context(context_);
    }
    if (fd_ >= 0) close(fd_);
    if (!kept_) std::remove(partialPath_.c_str());
}

int MatroskaWriter::writeBytes(void* opaque, std::uint8_t* data, int size) {
    const int fd = static_cast<MatroskaWriter*>(opaque)->fd_;
    for (int done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, std::size_t(size - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return AVERROR(n < 0 ? errno : EIO);
        done += int(n);
    }
    return size;
}

std::int64_t MatroskaWriter::seekBytes(void* opaque, std::int64_t offset, int whence) {
    const int fd = static_cast<MatroskaWriter*>(opaque)->fd_;
    if (whence & AVSEEK_SIZE) {
        struct stat info {};
        return fstat(fd, &info) == 0 ? std::int64_t(info.st_size) : AVERROR(errno);
    }
    const off_t at = lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : std::int64_t(at);
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
    if (writeError_) return writeError_;
    if (!std::isfinite(presentationTime) || (!sawKeyframe_ && !isKeyframe)) {
        ++counts_.dropped;
        return std::nullopt;
    }
    sawKeyframe_ = true;
    Held packet{true, isKeyframe, presentationTime, annexB(payload, isKeyframe)};
    return headerWritten_ ? writePacket(packet) : hold(std::move(packet));
}

std::optional<std::string> MatroskaWriter::writeAudio(std::span<const std::uint8_t> bytes, double presentationTime) {
    if (writeError_) return writeError_;
    if (!withAudio_ || !std::isfinite(presentationTime)) {
        ++counts_.dropped;
        return std::nullopt;
    }
    Held packet{false, false, presentationTime, {bytes.begin(), bytes.end()}};
    return headerWritten_ ? writePacket(packet) : hold(std::move(packet));
}

std::optional<std::string> MatroskaWriter::hold(Held packet) {
    held_.push_back(std::move(packet));
    if (held_.size() > maxHeldPackets) {
        // The audio format is overdue: the recording goes on without its track.
        if (videoFormat_ && sawKeyframe_) {
            withAudio_ = false;
            return writeHeader();
        }
        held_.pop_front();
        ++counts_.dropped;
    }
    if (videoFormat_ && sawKeyframe_ && (!withAudio_ || audioFormat_)) return writeHeader();
    return std::nullopt;
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
    // A cluster a second at most: a write that fails loses no more than that.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "cluster_time_limit", "1000", 0);
    int status = avformat_write_header(context_, &options);
    av_dict_free(&options);
    if (status >= 0) {
        avio_flush(context_->pb);
        status = context_->pb->error;
    }
    if (status < 0) return failed("cannot write the header of " + path_ + ": " + averror(status));
    headerWritten_ = true;
    headerBytes_ = wholeBytes_ = avio_tell(context_->pb);
    // Video before the first keyframe was dropped, so the first video held is that keyframe.
    for (const Held& packet : held_) {
        if (packet.video) {
            origin_ = packet.time;
            break;
        }
    }
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
    const std::int64_t ms = origin_ ? roundClamped<std::int64_t>((held.time - *origin_) * 1000.0, -1) : -1;
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
    int status = av_interleaved_write_frame(context_, packet);
    av_packet_free(&packet);
    if (status >= 0) {
        // Whole clusters reach the file at once: after a flush it ends on an element boundary.
        avio_flush(context_->pb);
        status = context_->pb->error;
    }
    if (status < 0) return failed("cannot write to " + path_ + ": " + averror(status));
    wholeBytes_ = avio_tell(context_->pb);
    last = ms;
    if (held.video) {
        ++counts_.videoFrames;
        if (held.keyframe) ++counts_.keyframes;
    } else {
        ++counts_.audioPackets;
    }
    return std::nullopt;
}

std::optional<std::string> MatroskaWriter::failed(std::string error) {
    if (!writeError_) writeError_ = std::move(error);
    return writeError_;
}

std::optional<std::string> MatroskaWriter::finish() {
    if (finished_) return writeError_;
    finished_ = true;
    if (!writeError_) {
        if (!headerWritten_) {
            if (!videoFormat_ || !sawKeyframe_) return "no video was received";
            withAudio_ = withAudio_ && audioFormat_.has_value();
            if (auto error = writeHeader()) return writeError_ ? keepWhatWasWritten() : error;
        }
        int status = av_write_trailer(context_);
        if (status >= 0) {
            avio_flush(context_->pb);
            status = context_->pb->error;
        }
        if (status < 0) {
            failed("cannot finish " + path_ + ": " + averror(status));
        } else if (fsync(fd_) != 0 || close(std::exchange(fd_, -1)) != 0) {
            failed("cannot finish " + path_ + ": " + std::strerror(errno));
        } else if (std::rename(partialPath_.c_str(), path_.c_str()) != 0) {
            return "cannot rename " + partialPath_ + " to " + path_ + ": " + std::strerror(errno);
        } else {
            kept_ = true;
            return std::nullopt;
        }
    }
    return keepWhatWasWritten();
}

std::optional<std::string> MatroskaWriter::keepWhatWasWritten() {
    // Without a whole cluster there is nothing to play.
    if (headerBytes_ > 0 && wholeBytes_ > headerBytes_ && fd_ >= 0 && ftruncate(fd_, off_t(wholeBytes_)) == 0 &&
        close(std::exchange(fd_, -1)) == 0 && std::rename(partialPath_.c_str(), path_.c_str()) == 0) {
        kept_ = true;
    }
    return writeError_;
}

}  // namespace mivodrell::stream
