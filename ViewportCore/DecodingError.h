#pragma once
// The failure of reading a control message (or any value of the wire model) from JSON text.

#include "ViewportCore/CodingKey.h"

#include <exception>
#include <string>

namespace mivodrell {

struct DecodingError : std::exception {
    enum class Kind {
        // Not valid JSON text, or a value that cannot be what the field holds: a fractional or
        // out-of-range integer, a number beyond the finite double range, bad Base64, a raw value
        // that names no case.
        dataCorrupted,
        // A value of the wrong JSON kind, or not exactly one known case name in a message object.
        typeMismatch,
        // A required member is missing; `key` names it and the path ends at its object.
        keyNotFound,
        // A required value is null, or an array is too short.
        valueNotFound,
    };

    Kind kind = Kind::dataCorrupted;
    // The type concerned (type mismatch, value not found): the type that was expected.
    std::string type;
    // The key concerned (key not found): the member that is missing.
    std::string key;
    // From the message object down to the failing value.
    CodingPath codingPath;
    std::string debugDescription;

    DecodingError(Kind kind, std::string type, std::string key, CodingPath path, std::string description);

    static DecodingError dataCorrupted(CodingPath path, std::string description);
    static DecodingError typeMismatch(std::string type, CodingPath path, std::string description);
    static DecodingError keyNotFound(std::string key, CodingPath path, std::string description);
    static DecodingError valueNotFound(std::string type, CodingPath path, std::string description);

    const char* what() const noexcept override { return message_.c_str(); }

    friend bool operator==(const DecodingError& a, const DecodingError& b) {
        return a.kind == b.kind && a.type == b.type && a.key == b.key && a.codingPath == b.codingPath &&
               a.debugDescription == b.debugDescription;
    }

private:
    std::string message_;
};

const char* toString(DecodingError::Kind kind);

}  // namespace mivodrell
