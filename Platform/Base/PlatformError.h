#pragma once
// The error a platform stand-in reports: a domain, a numeric status of our own and a text.

#include <cstdint>
#include <string>

namespace mivodrell {

struct PlatformError {
    std::string domain;
    std::int32_t code = 0;
    std::string description;

    friend bool operator==(const PlatformError&, const PlatformError&) = default;
};

// Numeric statuses shared by the stand-ins (our own constants).
namespace PlatformStatus {
inline constexpr std::int32_t noErr = 0;
inline constexpr std::int32_t paramErr = -12902;
inline constexpr std::int32_t invalidSession = -12903;
inline constexpr std::int32_t allocationFailed = -12904;
inline constexpr std::int32_t propertyNotSupported = -12900;
inline constexpr std::int32_t encoderFailed = -12911;
inline constexpr std::int32_t timedOut = -12915;
inline constexpr std::int32_t invalidState = -12916;
}  // namespace PlatformStatus

}  // namespace mivodrell
