#pragma once
// The command line of the streaming tool: what to capture, how the controller's viewport moves,
// how lossy the link is and where the recording goes.
//
// Parsing is strict: an unknown option, a missing or malformed value, or a value out of range
// gives one message that names the option, and nothing else happens. Pure; no I/O.

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace mivodrell::stream {

struct StreamOptions {
    enum class Source { virtualServer, x11 };
    enum class Viewport { stillView, pan, zoom };

    double seconds = 10;
    std::string output = "out/stream.mkv";
    Source source = Source::virtualServer;
    std::string display;  // X server; empty means $DISPLAY
    int displays = 2;     // virtual displays, 1920 x 1080 each, side by side
    Viewport viewport = Viewport::pan;
    int phoneWidth = 1920;
    int phoneHeight = 1080;
    double lossPercent = 0;
    bool audio = false;
    std::string logFile;  // empty: no diagnostic log
    bool help = false;
    unsigned seed = 1;
};

struct OptionsError {
    std::string message;
};

// `arguments` without the program name.
std::variant<StreamOptions, OptionsError> parseStreamOptions(const std::vector<std::string>& arguments);

// The text `--help` prints.
std::string streamUsage();

}  // namespace mivodrell::stream
