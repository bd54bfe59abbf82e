#pragma once
// A private Xvfb for integration tests, on a display number it picks itself. `start` returns
// nothing and says why when Xvfb cannot run here, so the test can skip with that message; the
// server is stopped by its process id when the object goes (or on `stop`).
#include "Subprocess.h"
#include <poll.h>
#include <memory>
#include <string>
#include <vector>
namespace mivodrell::testing {
class XvfbServer {
public:
    // Starts `Xvfb -noreset -br` with one screen of `width` x `height`.
    static std::unique_ptr<XvfbServer> start(int width, int height, std::string& why) {
        int fds[2];
        if (pipe(fds) != 0) {
            why = "no pipe";
            return nullptr;
        }
        const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
        const pid_t pid = spawnProcess({"Xvfb", "-displayfd", std::to_string(fds[1]), "-screen", "0", screen,
                                        "-noreset", "-br", "-nolisten", "tcp"},
                                       fds[1]);
        close(fds[1]);
        // Xvfb writes its display number once it accepts connections.
        std::string number;
        pollfd p{fds[0], POLLIN, 0};
        while (pid > 0 && poll(&p, 1, 10000) > 0) {
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
    // xrandr against this server; true when it succeeded.
    bool xrandr(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"xrandr", "-display", display_});
        return runProcess(arguments) == 0;
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
}  // namespace mivodrell::testing
