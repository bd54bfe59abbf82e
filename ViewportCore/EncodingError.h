#pragma once
// The failure of writing a value of the wire model as JSON: a NaN or infinite number, or a string
// that is not valid UTF-8. Nothing is written when it is thrown.

#include "ViewportCore/CodingKey.h"

#include <exception>
#include <string>

namespace mivodrell {

struct EncodingError : std::exception {
    // From the message object down to the value that could not be written.
    CodingPath codingPath;
    std::string debugDescription;

    EncodingError(CodingPath path, std::string description);

    // A copy with `key` put in front of the path (used while the error travels outwards).
    EncodingError prefixed(CodingKey key) const;

    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const EncodingError& a, const EncodingError& b) {
        return a.codingPath == b.codingPath && a.debugDescription == b.debugDescription;
    }

private:
    std::string message_;
};

}  // namespace mivodrell
