#pragma once
// The error both capture coordinators report through `onError` when a capture plan names a
// display for which they were handed no platform display object. A plain value: it carries the
// display's identifier and a message, and is copied freely between queues.

#include <cstdint>
#include <exception>
#include <string>

namespace mivodrell {

struct CaptureCoordinatorError : std::exception {
    enum class Kind { displayNotFound };

    Kind kind = Kind::displayNotFound;
    std::uint32_t displayID = 0;

    static CaptureCoordinatorError displayNotFound(std::uint32_t displayID) {
        return CaptureCoordinatorError(Kind::displayNotFound, displayID);
    }

    const char* what() const noexcept override { return message_.c_str(); }
    friend bool operator==(const CaptureCoordinatorError& a, const CaptureCoordinatorError& b) {
        return a.kind == b.kind && a.displayID == b.displayID;
    }

private:
    CaptureCoordinatorError(Kind k, std::uint32_t id)
        : kind(k), displayID(id), message_("displayNotFound(" + std::to_string(id) + ")") {}
    std::string message_;
};

}  // namespace mivodrell
