#pragma once
// The two clocks of the engine, both in seconds from the monotonic clock:
// media time (probes, pacing, pauses, rate limits) and host time (presentation times).
// Components read them through a Clock so that tests can substitute a ManualClock.

#include <atomic>
#include <memory>

namespace mivodrell {

class Clock {
public:
    virtual ~Clock() = default;
    virtual double mediaTime() const = 0;
    virtual double hostTime() const = 0;

    // The process-wide monotonic clock.
    static std::shared_ptr<const Clock> system();
};

// Seconds since an arbitrary fixed point of CLOCK_MONOTONIC.
double currentMediaTime();
double currentHostTime();

// A clock that moves only when told to. Safe to read from any thread.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 0) : now_(start) {}
    double mediaTime() const override { return now_.load(); }
    double hostTime() const override { return now_.load(); }
    void set(double seconds) { now_.store(seconds); }
    void advance(double seconds) {
        double current = now_.load();
        while (!now_.compare_exchange_weak(current, current + seconds)) {
        }
    }

private:
    std::atomic<double> now_;
};

}  // namespace mivodrell
