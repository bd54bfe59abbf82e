#pragma once
// A private PulseAudio daemon for integration tests, in a runtime directory of its own, with a
// 48 kHz stereo null sink "null" (the default sink; its monitor the default source). While it
// lives, this process's PulseAudio clients (and the commands it runs) reach it by default, and
// `address()` names it for those given a server. `start` returns nothing and says why when the
// daemon cannot run here, so the test can skip with that message. The daemon and the commands
// started through it are stopped by their process ids; the environment is restored.
#include "Subprocess.h"
#include <gtest/gtest.h>
#include <sndfile.h>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>
namespace mivodrell::testing {
class PrivatePulseServer {
public:
    static std::unique_ptr<PrivatePulseServer> start(std::string& why) {
        char pattern[] = "/tmp/mivodrell-pulse-XXXXXX";
        if (!mkdtemp(pattern)) {
            why = "no temporary directory";
            return nullptr;
        }
        auto server = std::unique_ptr<PrivatePulseServer>(new PrivatePulseServer());
        const std::string dir = server->directory_ = pattern;
        for (const auto& [name, value] : {std::pair<const char*, std::string>{"XDG_RUNTIME_DIR", dir},
                                          {"HOME", dir},
                                          {"PULSE_RUNTIME_PATH", dir + "/pulse"},
                                          {"PULSE_SERVER", server->address()}}) {
            const char* old = std::getenv(name);
            server->saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
            setenv(name, value.c_str(), 1);
        }
        // Daemonized, the launcher returns once the daemon is ready; the daemon's pid is in its pid file.
        const int launched =
            runProcess({"pulseaudio", "--daemonize=yes", "--exit-idle-time=-1", "-n", "--use-pid-file=yes",
                        "--disable-shm=yes", "--load=module-null-sink sink_name=null rate=48000 channels=2",
                        "--load=module-native-protocol-unix", "--log-target=file:" + dir + "/pa.log"});
        std::ifstream pidFile(dir + "/pulse/pid");
        if (launched != 0 || !(pidFile >> server->pid_) || server->pid_ <= 0) {
            server->pid_ = -1;
            why = "PulseAudio did not start (is the pulseaudio package installed?)";
            return nullptr;
        }
        return server;
    }
    ~PrivatePulseServer() {
        for (const pid_t child : children_) stopProcess(child);
        stop();
        for (const auto& [name, value] : saved_) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    std::string address() const { return "unix:" + directory_ + "/pulse/native"; }
    // Plays `seconds` of a stereo sine into the null sink (a 48 kHz float WAV file through paplay,
    // run in the background and stopped with the server).
    bool playTone(double frequency, double amplitude, double seconds) {
        const std::string path = directory_ + "/tone.wav";
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
        if (!file) return false;
        std::vector<float> samples(static_cast<std::size_t>(seconds * 48000) * 2);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            samples[i] =
                static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency * double(i / 2) / 48000));
        }
        sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / 2));
        sf_close(file);
        const pid_t pid = spawnProcess({"paplay", "-d", "null", path});
        if (pid > 0) children_.push_back(pid);
        return pid > 0;
    }
    // Kills the daemon. It is not our child (it daemonized): wait (bounded) until it is gone.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        for (int i = 0; i < 1000 && alive(pid_); ++i) usleep(1000);
        pid_ = -1;
    }
private:
    PrivatePulseServer() = default;
    // Running and not a zombie waiting for a parent that never reaps it.
    static bool alive(pid_t pid) {
        if (kill(pid, 0) != 0) return false;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pidText, name, state;
        stat >> pidText >> name >> state;
        return state != "Z";
    }
    std::string directory_;
    pid_t pid_ = -1;
    std::vector<pid_t> children_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};
// Whether `samples` are a clean sine of `frequency` and `amplitude`: the count of its zero
// crossings, its peak, and no step between neighbours steeper than the sine's (a dropped or
// repeated stretch jumps).
inline ::testing::AssertionResult isCleanTone(const std::vector<float>& samples, double rate, double frequency,
                                              double amplitude) {
    int crossings = 0;
    double peak = 0, maxStep = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
        maxStep = std::max(maxStep, double(std::fabs(samples[i] - samples[i - 1])));
        peak = std::max(peak, double(std::fabs(samples[i])));
    }
    const double measured = crossings / 2.0 * rate / double(samples.size());
    const double steepest = 2 * std::numbers::pi * frequency / rate * amplitude;
    if (std::fabs(measured - frequency) <= frequency * 0.005 && std::fabs(peak - amplitude) <= amplitude * 0.04 &&
        maxStep <= steepest * 1.05) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "frequency " << measured << ", peak " << peak << ", largest step "
                                         << maxStep << " (a clean tone steps at most " << steepest << ")";
}
}  // namespace mivodrell::testing
