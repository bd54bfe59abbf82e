#pragma once
// Text comparison by Unicode canonical equivalence: "é" written precomposed (U+00E9) equals "e"
// followed by U+0301. Both sides are brought to the canonical decomposition (NFD) and compared
// byte by byte; the hash is taken over the same decomposed bytes, so it agrees with equality.
// Text that is not valid UTF-8 compares and hashes by its raw bytes.

#include <cstddef>
#include <string>
#include <string_view>

namespace mivodrell {

// The canonical decomposition of `text`, or `text` unchanged when it is not valid UTF-8.
std::string canonicalDecomposition(std::string_view text);

bool canonicallyEqual(std::string_view a, std::string_view b);

std::size_t canonicalHash(std::string_view text);

}  // namespace mivodrell
