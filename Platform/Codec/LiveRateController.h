#pragma once
// Picks each frame's quantiser so that the stream holds a bit rate that changes while encoding,
// for an encoder whose own rate control cannot be retargeted without reopening it (and so
// starting again with a keyframe).
//
// Model: a frame costs complexity / qscale bits, qscale = 0.85 x 2^((QP - 12) / 6); complexity
// is learned from every encoded frame, separately for keyframes and the others. The next frame
// aims at its share of the average rate minus what the stream is ahead (or plus what it is
// behind), paid back over half a second; the rate buffer (bits a second at the maximum rate)
// bounds how far ahead it may get. The QP moves at most `maxStep` a frame, so one odd frame
// does not swing the picture quality. The QP stays within 18 ... 51.
//
// Non-finite or non-positive targets and frame sizes are ignored (the previous values stay).
// A plain value, called from its owner's one thread.

namespace mivodrell {

class LiveRateController {
public:
    struct Target {
        double bitsPerSecond = 0;
        double maxBitsPerSecond = 0;  // 0: no cap beyond the average
        double bufferBits = 0;        // 0: one second at the cap (or the average)
        double frameRate = 60;
    };

    // Below this the picture gains little that shows, and the encoder spends its time coding
    // residue: easy content (a still desktop) runs under the target instead.
    static constexpr int minQP = 18;
    static constexpr int maxQP = 51;
    static constexpr int maxStep = 3;

    // `lastQP` and `lastFrameBits` describe the frame encoded last (a non-keyframe), so the model
    // starts from what the encoder was just doing.
    LiveRateController(Target target, double lastQP, double lastFrameBits);

    void setTarget(Target target);
    const Target& target() const { return target_; }

    // The QP for the next frame.
    int nextQP(bool keyframe) const;

    // What the frame just encoded cost, and the QP it was encoded with.
    void frameEncoded(double bits, double qp, bool keyframe);

    // Bits the stream is ahead of the average rate (negative: behind).
    double excessBits() const { return excessBits_; }

private:
    double frameBudget() const;

    Target target_;
    double complexity_ = 0;          // non-keyframes
    double keyframeComplexity_ = 0;  // 0 until a keyframe was seen
    double excessBits_ = 0;
    double lastQP_;
};

}  // namespace mivodrell
