#pragma once
// Chooses how much encoder effort a real-time session can afford, from the measured time of each
// frame. Efforts are numbered steps, 0 the best quality and `stepCount - 1` the fastest.
//
// Frames are judged in windows of `windowFrames`. A window whose mean encode time is above
// `slowFraction` of the frame interval moves one step faster at once (straight to the fastest
// when the mean is above two intervals). Windows below `fastFraction` of the interval count as
// spare; after `spareWindowsToImprove` of them in a row the tuner tries one step better. When
// such a try is too slow in its first window the tuner goes back and waits twice as many spare
// windows before the next try (at most `maxSpareWindowsToImprove`), so a machine on the edge
// does not swing between two steps. The result is the best step that keeps up.
//
// Non-finite or negative times are ignored; an unusable interval or window falls back to 60 frames
// a second and half a second of frames. A plain value: its owner calls it from one thread.

#include <optional>

namespace mivodrell {

class RealTimeSpeedTuner {
public:
    struct Configuration {
        int stepCount = 1;
        double frameInterval = 1.0 / 60.0;  // seconds
        int windowFrames = 30;
        double slowFraction = 0.8;
        double fastFraction = 0.5;
        int spareWindowsToImprove = 4;
        int maxSpareWindowsToImprove = 32;
    };

    RealTimeSpeedTuner(Configuration configuration, int initialStep);

    // One frame's encode time in seconds. Returns the new step when this frame changed it.
    std::optional<int> record(double seconds);

    int step() const { return step_; }
    const Configuration& configuration() const { return configuration_; }

private:
    Configuration configuration_;
    int step_;
    int framesInWindow_ = 0;
    double secondsInWindow_ = 0;
    int spareWindows_ = 0;
    int spareWindowsNeeded_;
    bool tryingBetterStep_ = false;
};

}  // namespace mivodrell
