#pragma once
// Paces frame emission under a frame-rate ceiling that follows the machine's thermal state.
//
// A worse thermal level drops the ceiling at once; a better one lets it climb back one level's
// ceiling at a time, each step only after a hold, so a machine that has just cooled down is not
// pushed straight back to the full rate. Driven entirely by the times its owner passes in.

#include <array>
#include <limits>
#include <map>

namespace mivodrell {

enum class ThermalLevel { nominal, fair, serious, critical };

inline constexpr std::array<ThermalLevel, 4> allThermalLevels{ThermalLevel::nominal, ThermalLevel::fair,
                                                              ThermalLevel::serious, ThermalLevel::critical};

class FrameBudget {
public:
    struct Configuration {
        // The frame rate wanted when nothing limits it.
        double targetFPS = 120;
        // Frame-rate ceiling per thermal level; a level without an entry is limited by targetFPS only.
        std::map<ThermalLevel, double> ceilingByThermal{{ThermalLevel::nominal, 120},
                                                        {ThermalLevel::fair, 90},
                                                        {ThermalLevel::serious, 45},
                                                        {ThermalLevel::critical, 20}};
        // Hold after each thermal change and after each upward step, seconds.
        double recoveryHoldSeconds = 5;
        // Tolerance of the emission test, seconds.
        double intervalEpsilon = 0.0005;

        friend bool operator==(const Configuration&, const Configuration&) = default;
    };

    FrameBudget() : FrameBudget(Configuration()) {}
    explicit FrameBudget(Configuration configuration);

    const Configuration& configuration() const { return configuration_; }
    double currentCeilingFPS() const { return currentCeilingFPS_; }
    ThermalLevel thermal() const { return thermal_; }
    double recoveryEligibleAt() const { return recoveryEligibleAt_; }
    double lastEmittedAt() const { return lastEmittedAt_; }

    // Seconds between frames at the ceiling in force (at most one second).
    double currentInterval() const;

    void updateThermal(ThermalLevel level, double now);
    // Re-evaluates the ceiling: lowers it to the level's ceiling, or raises it one step once the
    // hold has passed.
    void tick(double now);
    // Runs the ceiling update, then lets a frame through when a whole interval (less the
    // tolerance) has passed since the last one.
    bool shouldEmit(double now);

    friend bool operator==(const FrameBudget&, const FrameBudget&) = default;

private:
    double levelCeiling(ThermalLevel level) const;

    Configuration configuration_;
    double currentCeilingFPS_ = 0;
    ThermalLevel thermal_ = ThermalLevel::nominal;
    double recoveryEligibleAt_ = -std::numeric_limits<double>::infinity();
    double lastEmittedAt_ = -std::numeric_limits<double>::infinity();
};

}  // namespace mivodrell
