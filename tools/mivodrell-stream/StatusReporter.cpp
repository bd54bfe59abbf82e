#include "StatusReporter.h"

#include <fmt/format.h>

#include <algorithm>

namespace mivodrell::stream {

std::string StatusReporter::statusLine(const StreamFigures& now, const StreamFigures& previous) {
    const double span = std::max(1e-9, now.elapsed - previous.elapsed);
    const double fps = double(now.framesEncoded - previous.framesEncoded) / span;
    const double mbps = double(now.bytesSent - previous.bytesSent) * 8.0 / span / 1e6;
    // The coordinator reports its composite + encode cost once per 5 s window: "-" until then.
    const std::string tick = now.tickMilliseconds > 0 ? fmt::format("{:5.1f}", now.tickMilliseconds) : "    -";
    return fmt::format("{:5.1f}/{:.0f} s  {:5.1f} fps  {:5.2f} Mbit/s  key {:3d}  lost {:4d} pkts {:3d} frames  "
                       "key req {:3d}  tick {} ms",
                       now.elapsed, now.total, fps, mbps, now.keyframes, now.packetsLost, now.framesAbandoned,
                       now.keyframeRequests, tick);
}

bool StatusReporter::report(const StreamFigures& now) {
    const std::string line = statusLine(now, previous_);
    if (terminal_) {
        std::fprintf(out_, "\r%s\x1b[K", line.c_str());
        wroteInPlace_ = true;
    } else {
        std::fprintf(out_, "%s\n", line.c_str());
    }
    previous_ = now;
    return std::fflush(out_) == 0 && !std::ferror(out_);
}

void StatusReporter::summarize(const StreamFigures& f, const std::string& output) {
    if (wroteInPlace_) std::fputc('\n', out_);
    const double seconds = std::max(1e-9, f.elapsed);
    const auto row = [&](const char* name, const std::string& value) { std::fprintf(out_, "  %-22s %s\n", name, value.c_str()); };
    std::fprintf(out_, "summary\n");
    row("streamed", fmt::format("{:.1f} s", f.elapsed));
    row("frames encoded", fmt::format("{} ({:.1f} fps)", f.framesEncoded, double(f.framesEncoded) / seconds));
    row("frames received", fmt::format("{} ({} after a loss, before the next keyframe)", f.framesReceived, f.framesSkipped));
    row("frames recorded", fmt::format("{}", f.framesRecorded));
    row("video bitrate", fmt::format("{:.2f} Mbit/s", double(f.bytesSent) * 8.0 / seconds / 1e6));
    row("keyframes", fmt::format("{}", f.keyframes));
    row("packets sent / lost", fmt::format("{} / {}", f.packetsSent, f.packetsLost));
    row("frames abandoned", fmt::format("{}", f.framesAbandoned));
    row("keyframe requests", fmt::format("{}", f.keyframeRequests));
    row("audio packets", fmt::format("{} ({} recorded)", f.audioPackets, f.audioPacketsRecorded));
    row("composite+encode", f.tickMilliseconds > 0 ? fmt::format("{:.1f} ms per frame", f.tickMilliseconds)
                                                   : std::string("not measured yet (first 5 s window)"));
    row("recording", output);
    std::fflush(out_);
}

}  // namespace mivodrell::stream
