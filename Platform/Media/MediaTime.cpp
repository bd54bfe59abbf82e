#include "Platform/Media/MediaTime.h"

#include "Platform/Base/Clock.h"
#include "Platform/Base/Narrowing.h"

#include <cmath>
#include <limits>

namespace mivodrell {

MediaTime MediaTime::fromSeconds(double seconds, std::int32_t timescale) {
    if (timescale <= 0) return invalid();
    const auto value = checkedTruncate<std::int64_t>(std::round(seconds * static_cast<double>(timescale)));
    if (!value) return invalid();
    return make(*value, timescale);
}

double MediaTime::seconds() const {
    if (!valid || timescale <= 0) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(value) / static_cast<double>(timescale);
}

MediaTime hostClockNow() { return MediaTime::fromSeconds(currentHostTime(), 1000000000); }

}  // namespace mivodrell
