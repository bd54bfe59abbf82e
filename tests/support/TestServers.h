#pragma once
// Real servers for integration tests: an Xvfb on a display number it picks itself, and a private
// PulseAudio daemon with a null sink in a runtime directory of its own. Each is started by the
// test and stopped by its process ID when the test ends. `start` returns nothing and says why
// when the server cannot run here, so the test can skip with that message.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell::testing {

// Runs `argv` with `environment` (NAME=value) added, detached from our stdin; returns its pid.
inline pid_t spawnProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                          int keepFd = -1) {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    for (const auto& entry : environment) putenv(const_cast<char*>(entry.c_str()));
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
    }
    for (int fd = 3; fd < 1024; ++fd) {
        if (fd != keepFd) close(fd);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Runs a command to its end; true when it exited with 0.
inline bool runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {}) {
    const pid_t pid = spawnProcess(argv, environment);
    if (pid < 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

inline void stopProcess(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
}

class XvfbServer {
public:
    // Starts `Xvfb -noreset -br` with one screen of `width` x `height` on a free display.
    static std::unique_ptr<XvfbServer> start(int width, int height, std::string& why) {
        int fds[2];
        if (pipe(fds) != 0) {
            why = "no pipe";
            return nullptr;
        }
        const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        const pid_t pid = spawnProcess({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen, "-noreset",
                                        "-br", "-nolisten", "tcp"},
                                       {}, fds[1]);
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            why = "cannot fork Xvfb";
            return nullptr;
        }
        // Xvfb writes its display number once it accepts connections.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (poll(&p, 1, 10000) > 0) {
            char c = 0;
            if (read(fds[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        close(fds[0]);
        if (number.empty()) {
            stopProcess(pid);
            why = "Xvfb did not start (is the xvfb package installed?)";
            return nullptr;
        }
        auto server = std::unique_ptr<XvfbServer>(new XvfbServer());
        server->pid_ = pid;
        server->display_ = ":" + number;
        return server;
    }

    ~XvfbServer() { stop(); }

    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }

    // xrandr against this server.
    bool xrandr(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"xrandr", "-display", display_});
        return runProcess(arguments);
    }

    void stop() {
        stopProcess(pid_);
        pid_ = -1;
    }

private:
    XvfbServer() = default;
    pid_t pid_ = -1;
    std::string display_;
};

class PulseServer {
public:
    // Starts a private daemon with a 48 kHz stereo null sink named "null" (the default sink).
    static std::unique_ptr<PulseServer> start(std::string& why) {
        char pattern[] = "/tmp/mivodrell-pulse-XXXXXX";
        if (!mkdtemp(pattern)) {
            why = "no temporary directory";
            return nullptr;
        }
        auto server = std::unique_ptr<PulseServer>(new PulseServer());
        server->directory_ = pattern;
        chmod(pattern, 0700);
        const std::string dir = server->directory_;
        // Daemonized, the launcher returns once the daemon is ready; the daemon's pid is in its pid file.
        const bool launched = runProcess({"pulseaudio", "--daemonize=yes", "--exit-idle-time=-1", "-n", "--use-pid-file=yes",
                                          "--load=module-null-sink sink_name=null rate=48000 channels=2",
                                          "--load=module-native-protocol-unix", "--log-target=file:" + dir + "/pa.log"},
                                         server->environment());
        std::ifstream pidFile(dir + "/pulse/pid");
        pid_t pid = -1;
        if (pidFile >> pid) server->pid_ = pid;
        if (!launched || server->pid_ <= 0) {
            why = "PulseAudio did not start (is the pulseaudio package installed?)";
            return nullptr;
        }
        return server;
    }

    ~PulseServer() {
        stop();
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    // The address clients connect to.
    std::string address() const { return "unix:" + directory_ + "/pulse/native"; }
    pid_t pid() const { return pid_; }

    // Plays a sound file into the null sink; returns the player's pid.
    pid_t play(const std::string& path) const {
        return spawnProcess({"paplay", "--server=" + address(), "-d", "null", path}, environment());
    }

    // The daemon is not our child (it daemonized): signal it and wait until it is gone.
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        for (int i = 0; i < 1000 && alive(pid_); ++i) usleep(1000);
        pid_ = -1;
    }

private:
    PulseServer() = default;
    // Running and not a zombie waiting for a parent that never reaps it.
    static bool alive(pid_t pid) {
        if (kill(pid, 0) != 0) return false;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pidText, name, state;
        stat >> pidText >> name >> state;
        return state != "Z";
    }
    std::vector<std::string> environment() const {
        return {"XDG_RUNTIME_DIR=" + directory_, "HOME=" + directory_, "PULSE_RUNTIME_PATH=" + directory_ + "/pulse"};
    }
    std::string directory_;
    pid_t pid_ = -1;
};

}  // namespace mivodrell::testing
