#pragma once
// The tool's live view: one status line a second and a summary table at the end.
//
// On a terminal the status line is rewritten in place; anywhere else each status is a plain line
// of its own, so logs and pipes stay readable. Figures are computed from counters the caller
// passes in; nothing here keeps time. Not thread-safe: one owner prints.

#include <cstdint>
#include <cstdio>
#include <string>

namespace mivodrell::stream {

struct StreamFigures {
    double elapsed = 0;              // seconds
    double total = 0;                // seconds asked for
    std::int64_t framesEncoded = 0;  // composite frames the coordinator handed over
    std::int64_t framesReceived = 0; // frames the controller side completed
    std::int64_t framesSkipped = 0;  // completed after a loss, before the next keyframe: not played
    std::int64_t bytesSent = 0;      // encoded video bytes
    std::int64_t keyframes = 0;
    std::int64_t packetsSent = 0;
    std::int64_t packetsLost = 0;       // counted by the reassembler
    std::int64_t framesAbandoned = 0;   // given up by the reassembler
    std::int64_t keyframeRequests = 0;  // sent back by the controller side
    std::int64_t audioPackets = 0;
    std::int64_t framesRecorded = 0;        // summary only: what the recording holds
    std::int64_t audioPacketsRecorded = 0;  // summary only
    double tickMilliseconds = 0;        // mean composite + encode time per frame
};

class StatusReporter {
public:
    StatusReporter(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

    // One status from the figures now and the figures one report earlier; false when the output
    // no longer takes it (a closed pipe).
    bool report(const StreamFigures& now);
    // Ends the status line and prints the summary table.
    void summarize(const StreamFigures& final, const std::string& output);

    static std::string statusLine(const StreamFigures& now, const StreamFigures& previous);

private:
    std::FILE* out_;
    bool terminal_;
    StreamFigures previous_;
    bool wroteInPlace_ = false;
};

}  // namespace mivodrell::stream
