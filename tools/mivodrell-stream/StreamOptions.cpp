#include "StreamOptions.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace mivodrell::stream {
namespace {

std::optional<double> parseNumber(const std::string& text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::optional<int> parseWhole(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc{} || ptr != end) return std::nullopt;
    return value;
}

}  // namespace

std::string streamUsage() {
    return "usage: mivodrell-stream [options]\n"
           "Captures the displays, follows a controller's viewport, composites, encodes, sends the\n"
           "frames as packets over a lossy in-process link, reassembles them as the controller does\n"
           "and records what the controller would play as a Matroska file.\n"
           "\n"
           "  --seconds S           how long to stream (default 10)\n"
           "  --output FILE         recording (default out/stream.mkv)\n"
           "  --source virtual|x11  virtual display server (default) or the X server\n"
           "  --display NAME        X server for --source x11 (default $DISPLAY)\n"
           "  --displays N          virtual 1920x1080 displays side by side, 1-8 (default 2)\n"
           "  --viewport static|pan|zoom\n"
           "                        how the controller's viewport moves (default pan)\n"
           "  --phone WxH           the controller's screen in pixels, each from 16 to 7680 (default\n"
           "                        1920x1080); the picture recorded is 1.1 times as large, and sizes\n"
           "                        whose pictures HEVC cannot hold are refused (more than 8192 a side\n"
           "                        or 35,651,584 pixels, or a side under 32 on a long picture)\n"
           "  --loss PERCENT        packets dropped by the link, 0-100 (default 0)\n"
           "  --seed N              seed of the link's losses, duplicates and reordering\n"
           "  --audio               capture and record system audio\n"
           "  --log FILE            write the engine's diagnostic lines to FILE\n"
           "  --help                this text\n"
           "\n"
           "Exit status: 0 streamed the whole time, 1 could not start, 2 bad options, 3 nothing to\n"
           "play was received, 4 failed while streaming (what was recorded is kept when playable),\n"
           "130 interrupted by SIGINT, SIGTERM, SIGHUP or a closed output (the recording is kept).\n";
}

std::variant<StreamOptions, OptionsError> parseStreamOptions(const std::vector<std::string>& arguments) {
    StreamOptions options;
    bool displaysGiven = false;
    using Setter = std::function<std::optional<std::string>(const std::string&)>;
    const std::map<std::string, Setter> valued{
        {"--seconds", [&](const std::string& v) -> std::optional<std::string> {
             const auto n = parseNumber(v);
             if (!n || *n <= 0 || *n > 86400) return "--seconds takes a number of seconds above 0 (at most 86400)";
             options.seconds = *n;
             return std::nullopt;
         }},
        {"--output", [&](const std::string& v) -> std::optional<std::string> {
             if (v.empty()) return "--output takes a file name";
             options.output = v;
             return std::nullopt;
         }},
        {"--source", [&](const std::string& v) -> std::optional<std::string> {
             if (v == "virtual") options.source = StreamOptions::Source::virtualServer;
             else if (v == "x11") options.source = StreamOptions::Source::x11;
             else return "--source takes virtual or x11";
             return std::nullopt;
         }},
        {"--display", [&](const std::string& v) -> std::optional<std::string> {
             options.display = v;
             return std::nullopt;
         }},
        {"--displays", [&](const std::string& v) -> std::optional<std::string> {
             const auto n = parseWhole(v);
             if (!n || *n < 1 || *n > 8) return "--displays takes a whole number from 1 to 8";
             options.displays = *n;
             displaysGiven = true;
             return std::nullopt;
         }},
        {"--viewport", [&](const std::string& v) -> std::optional<std::string> {
             if (v == "static") options.viewport = StreamOptions::Viewport::stillView;
             else if (v == "pan") options.viewport = StreamOptions::Viewport::pan;
             else if (v == "zoom") options.viewport = StreamOptions::Viewport::zoom;
             else return "--viewport takes static, pan or zoom";
             return std::nullopt;
         }},
        {"--phone", [&](const std::string& v) -> std::optional<std::string> {
             const auto x = v.find('x');
             const auto w = x == std::string::npos ? std::nullopt : parseWhole(v.substr(0, x));
             const auto h = x == std::string::npos ? std::nullopt : parseWhole(v.substr(x + 1));
             if (!w || !h || *w < 16 || *h < 16 || *w > 7680 || *h > 7680) {
                 return "--phone takes WIDTHxHEIGHT in pixels, each from 16 to 7680";
             }
             options.phoneWidth = *w;
             options.phoneHeight = *h;
             return std::nullopt;
         }},
        {"--loss", [&](const std::string& v) -> std::optional<std::string> {
             const auto n = parseNumber(v);
             if (!n || *n < 0 || *n > 100) return "--loss takes a percentage from 0 to 100";
             options.lossPercent = *n;
             return std::nullopt;
         }},
        {"--seed", [&](const std::string& v) -> std::optional<std::string> {
             const auto n = parseWhole(v);
             if (!n || *n < 0) return "--seed takes a whole number of 0 or more";
             options.seed = static_cast<unsigned>(*n);
             return std::nullopt;
         }},
        {"--log", [&](const std::string& v) -> std::optional<std::string> {
             if (v.empty()) return "--log takes a file name";
             options.logFile = v;
             return std::nullopt;
         }},
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inlineValue;
        if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--audio") {
            if (inlineValue) return OptionsError{"--audio takes no value"};
            options.audio = true;
            continue;
        }
        const auto setter = valued.find(name);
        if (setter == valued.end()) return OptionsError{"unknown option " + arguments[i] + " (see --help)"};
        if (!inlineValue) {
            if (i + 1 >= arguments.size()) return OptionsError{name + " needs a value (see --help)"};
            inlineValue = arguments[++i];
        }
        if (auto error = setter->second(*inlineValue)) return OptionsError{*error};
    }
    if (!options.display.empty() && options.source != StreamOptions::Source::x11) {
        return OptionsError{"--display goes with --source x11"};
    }
    if (displaysGiven && options.source == StreamOptions::Source::x11) {
        return OptionsError{"--displays goes with --source virtual (the X server's displays are its monitors)"};
    }
    return options;
}

}  // namespace mivodrell::stream
