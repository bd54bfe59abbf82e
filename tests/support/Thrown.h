#pragma once
// Test helper: the exception a call throws, as a value to compare.
#include <optional>
namespace mivodrell::testing {
// The exception of type E that `body` throws; nothing when it returns normally.
template <class E, class Body>
std::optional<E> thrown(Body&& body) {
    try {
        body();
    } catch (const E& error) {
        return error;
    }
    return std::nullopt;
}
}  // namespace mivodrell::testing
