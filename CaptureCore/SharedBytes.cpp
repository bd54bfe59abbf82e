#include "CaptureCore/SharedBytes.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace mivodrell {

SharedBytes::SharedBytes(std::vector<std::uint8_t>&& bytes) {
    if (bytes.empty()) return;
    auto owned = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
    start = owned->data();
    length = owned->size();
    storage = std::move(owned);
}

SharedBytes::SharedBytes(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes)
    : storage(std::move(owner)), start(bytes.data()), length(bytes.size()) {}

SharedBytes SharedBytes::copy(std::span<const std::uint8_t> bytes) {
    return SharedBytes(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

SharedBytes SharedBytes::slice(std::size_t offset, std::size_t count) const {
    if (offset > length || count > length - offset) {
        throw std::out_of_range("SharedBytes::slice: bytes " + std::to_string(offset) + " + " +
                                std::to_string(count) + " outside a buffer of " + std::to_string(length));
    }
    SharedBytes result;
    if (count == 0) return result;
    result.storage = storage;
    result.start = start + offset;
    result.length = count;
    return result;
}

bool operator==(const SharedBytes& a, const SharedBytes& b) {
    if (a.length != b.length) return false;
    if (a.start == b.start || a.length == 0) return true;
    return std::memcmp(a.start, b.start, a.length) == 0;
}

}  // namespace mivodrell
