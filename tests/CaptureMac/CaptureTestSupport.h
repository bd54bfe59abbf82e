#pragma once
// Helpers for the capture session tests: values delivered on other threads, collected with a
// bounded wait; the kind of error a call throws.
#include "support/Collected.h"
#include "support/Thrown.h"
#include <optional>
namespace mivodrell::testing {
// The kind of the E that `body` throws; nothing when it returns normally.
template <class E, class Body>
std::optional<typename E::Kind> errorKind(Body&& body) {
    const auto error = thrown<E>(body);
    return error ? std::optional(error->kind) : std::nullopt;
}
}  // namespace mivodrell::testing
