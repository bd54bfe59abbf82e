#include "CaptureMac/AudioDiagnosticCapture.h"

#include "Platform/Base/Narrowing.h"

#include <fmt/format.h>
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <system_error>

namespace mivodrell {

struct AudioDiagnosticCapture::File {
    SNDFILE* handle = nullptr;
    ~File() {
        if (handle) sf_close(handle);
    }
};

namespace {

std::string makeFileName() {
    static std::atomic<std::uint64_t> sequence{0};
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32] = {};
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return fmt::format("audio-input-{}-{}.caf", stamp, sequence.fetch_add(1) + 1);
}

}  // namespace

std::unique_ptr<AudioDiagnosticCapture> AudioDiagnosticCapture::open(const std::filesystem::path& directory,
                                                                     double sampleRate, std::uint32_t channelCount,
                                                                     double seconds, std::string& failure) {
    const int rate = roundClamped<int>(sampleRate, 0);
    const auto channels = checkedNarrow<int>(channelCount);
    if (rate < 1 || !channels || *channels < 1) {
        failure = fmt::format("unusable input format {} Hz / {} ch", sampleRate, channelCount);
        return nullptr;
    }
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        failure = fmt::format("cannot create {}: {}", directory.string(), error.message());
        return nullptr;
    }
    auto path = directory / makeFileName();

    SF_INFO info{};
    info.samplerate = rate;
    info.channels = *channels;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT;
    auto file = std::make_unique<File>();
    file->handle = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file->handle) {
        failure = fmt::format("cannot open {}: {}", path.string(), sf_strerror(nullptr));
        return nullptr;
    }
    const auto limit = truncateClamped<std::uint64_t>(std::max(seconds, 0.0) * rate, 0);
    return std::unique_ptr<AudioDiagnosticCapture>(
        new AudioDiagnosticCapture(std::move(file), std::move(path), channelCount, limit));
}

AudioDiagnosticCapture::AudioDiagnosticCapture(std::unique_ptr<File> file, std::filesystem::path path,
                                               std::uint32_t channels, std::uint64_t frameLimit)
    : file_(std::move(file)), path_(std::move(path)), channels_(channels), frameLimit_(frameLimit) {}

AudioDiagnosticCapture::~AudioDiagnosticCapture() = default;

AudioDiagnosticCapture::WriteResult AudioDiagnosticCapture::write(std::span<const float> interleaved,
                                                                  std::string& failure) {
    if (!file_) return WriteResult::finished;
    const std::uint64_t frames = std::min<std::uint64_t>(interleaved.size() / channels_, frameLimit_ - framesWritten_);
    if (frames > 0) {
        const auto count = static_cast<sf_count_t>(frames);
        const sf_count_t written = sf_writef_float(file_->handle, interleaved.data(), count);
        if (written != count) {
            failure = fmt::format("writing {} failed: {}", path_.string(), sf_strerror(file_->handle));
            close();
            return WriteResult::failed;
        }
        framesWritten_ += frames;
    }
    if (framesWritten_ >= frameLimit_) {
        close();
        return WriteResult::finished;
    }
    return WriteResult::writing;
}

void AudioDiagnosticCapture::close() { file_.reset(); }

}  // namespace mivodrell
