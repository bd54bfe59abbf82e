#pragma once
// A Core Audio Format file holding the first seconds of an encoder's raw input (32-bit float,
// interleaved, at the input rate and channel count), for listening to what the encoder was given.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

namespace mivodrell {

class AudioDiagnosticCapture {
public:
    enum class WriteResult { writing, finished, failed };

    // Creates `directory` (and its parents) when missing and opens a new file in it, named
    // "audio-input-<local time>-<sequence>.caf". Nothing on failure, with the reason in `failure`.
    static std::unique_ptr<AudioDiagnosticCapture> open(const std::filesystem::path& directory, double sampleRate,
                                                        std::uint32_t channelCount, double seconds,
                                                        std::string& failure);
    ~AudioDiagnosticCapture();
    AudioDiagnosticCapture(const AudioDiagnosticCapture&) = delete;
    AudioDiagnosticCapture& operator=(const AudioDiagnosticCapture&) = delete;

    // Appends interleaved samples (whole frames) up to the limit. `finished` once the limit is
    // reached (the file is then closed); `failed` when writing fails (reason in `failure`).
    WriteResult write(std::span<const float> interleaved, std::string& failure);

    const std::filesystem::path& path() const { return path_; }
    std::uint64_t framesWritten() const { return framesWritten_; }
    std::uint64_t frameLimit() const { return frameLimit_; }
    void close();

private:
    struct File;
    AudioDiagnosticCapture(std::unique_ptr<File> file, std::filesystem::path path, std::uint32_t channels,
                           std::uint64_t frameLimit);

    std::unique_ptr<File> file_;
    std::filesystem::path path_;
    std::uint32_t channels_;
    std::uint64_t frameLimit_;
    std::uint64_t framesWritten_ = 0;
};

}  // namespace mivodrell
