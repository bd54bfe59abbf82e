#pragma once
// Test helper: a private PulseAudio daemon with a null sink "null" (48 kHz stereo) whose monitor
// is the default source, reachable only through this process's environment. Started in the
// constructor, stopped by its process id in the destructor; `ready()` is false (with a reason)
// when the daemon cannot start on this machine. Children (players, pactl) are stopped the same way.

#include "Platform/Device/Pulse/PulseMicrophone.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace mivodrell::testing {

class PrivatePulseServer {
public:
    PrivatePulseServer() {
        char pattern[] = "/tmp/mivodrell-pulse-XXXXXX";
        if (!::mkdtemp(pattern)) {
            reason_ = "cannot make a runtime directory";
            return;
        }
        directory_ = pattern;
        saveAndSet("XDG_RUNTIME_DIR", directory_);
        saveAndSet("PULSE_SERVER", "unix:" + directory_ + "/pulse/native");
        saveAndSet("HOME", directory_);
        daemon_ = spawn({"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--disable-shm=yes",
                         "--load=module-null-sink sink_name=null rate=48000 channels=2",
                         "--load=module-native-protocol-unix", "--log-target=file:" + directory_ + "/pa.log"});
        if (!daemon_) {
            reason_ = "pulseaudio could not be run";
            return;
        }
        // Wait (bounded) for the daemon to accept connections.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (::waitpid(*daemon_, &status, WNOHANG) == *daemon_) {
                daemon_.reset();
                reason_ = "pulseaudio exited at start (see its log)";
                return;
            }
            const auto snapshot = PulseMicrophone::query();
            if (!snapshot.error && snapshot.source("null.monitor")) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        reason_ = "pulseaudio did not answer within 10 s";
    }

    ~PrivatePulseServer() {
        for (const auto pid : children_) stop(pid);
        if (daemon_) stop(*daemon_);
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
        std::error_code error;
        if (!directory_.empty()) std::filesystem::remove_all(directory_, error);
    }

    bool ready() const { return reason_.empty(); }
    const std::string& reason() const { return reason_; }
    const std::string& directory() const { return directory_; }

    // Runs a command to its end; its exit status (-1 when it could not run).
    int run(const std::vector<std::string>& arguments) {
        const auto pid = spawn(arguments);
        if (!pid) return -1;
        int status = 0;
        ::waitpid(*pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Starts a command in the background; it is stopped with the server.
    bool start(const std::vector<std::string>& arguments) {
        const auto pid = spawn(arguments);
        if (pid) children_.push_back(*pid);
        return pid.has_value();
    }

private:
    static std::optional<pid_t> spawn(const std::vector<std::string>& arguments) {
        std::vector<char*> argv;
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        const int result = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (result != 0) return std::nullopt;
        return pid;
    }
    static void stop(pid_t pid) {
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    void saveAndSet(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }

    std::string directory_;
    std::string reason_;
    std::optional<pid_t> daemon_;
    std::vector<pid_t> children_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace mivodrell::testing
