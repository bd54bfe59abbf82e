#include "Platform/Base/Clock.h"

#include <time.h>

namespace mivodrell {

namespace {
class SystemClock final : public Clock {
public:
    double mediaTime() const override { return currentMediaTime(); }
    double hostTime() const override { return currentHostTime(); }
};
}  // namespace

double currentMediaTime() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double currentHostTime() { return currentMediaTime(); }

std::shared_ptr<const Clock> Clock::system() {
    static const std::shared_ptr<const Clock> instance = std::make_shared<SystemClock>();
    return instance;
}

}  // namespace mivodrell
