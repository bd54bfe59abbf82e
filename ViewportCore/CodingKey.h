#pragma once
// One step of a coding path: a member name, or a position inside an array.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mivodrell {

struct CodingKey {
    // The member name; for an array position the text "Index N".
    std::string stringValue;
    // The array position; absent for a member name.
    std::optional<std::int64_t> intValue;

    static CodingKey member(std::string name) { return {std::move(name), std::nullopt}; }
    static CodingKey index(std::int64_t position) {
        return {"Index " + std::to_string(position), position};
    }

    friend bool operator==(const CodingKey&, const CodingKey&) = default;
};

using CodingPath = std::vector<CodingKey>;

// "cursorMove.to[1]": member names joined by dots, array positions in brackets.
std::string describeCodingPath(const CodingPath& path);

}  // namespace mivodrell
