#pragma once
// An immutable byte buffer with shared ownership, and slices of it.
//
// Encoded frames travel through the pipeline as SharedBytes so that the packets of a frame can
// refer to slices of the frame's payload, and a decoded packet to a slice of its message,
// without copying the bytes. Copying a SharedBytes copies a reference, never the bytes.
// Equality compares the bytes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace mivodrell {

class SharedBytes {
public:
    using const_iterator = const std::uint8_t*;

    // No bytes.
    SharedBytes() = default;
    // Takes the vector's storage over; the bytes are not copied.
    SharedBytes(std::vector<std::uint8_t>&& bytes);  // NOLINT(google-explicit-constructor)
    // Bytes owned elsewhere, kept alive as long as any SharedBytes refers to them by `owner`.
    SharedBytes(std::shared_ptr<const void> owner, std::span<const std::uint8_t> bytes);

    // A new buffer holding a copy of `bytes`.
    static SharedBytes copy(std::span<const std::uint8_t> bytes);

    const std::uint8_t* data() const { return start; }
    std::size_t size() const { return length; }
    bool empty() const { return length == 0; }
    const_iterator begin() const { return start; }
    const_iterator end() const { return start + length; }
    std::uint8_t operator[](std::size_t index) const { return start[index]; }
    std::span<const std::uint8_t> span() const { return {start, length}; }
    operator std::span<const std::uint8_t>() const { return span(); }  // NOLINT(google-explicit-constructor)

    // `count` bytes from `offset`, sharing this buffer's storage. Throws std::out_of_range when
    // the range does not lie inside this slice.
    SharedBytes slice(std::size_t offset, std::size_t count) const;

    // The bytes as a new vector.
    std::vector<std::uint8_t> toVector() const { return {begin(), end()}; }

    // True when both refer to the same storage (slices of one buffer included).
    bool sharesStorageWith(const SharedBytes& other) const {
        return storage != nullptr && storage == other.storage;
    }

    friend bool operator==(const SharedBytes& a, const SharedBytes& b);

private:
    std::shared_ptr<const void> storage;
    const std::uint8_t* start = nullptr;
    std::size_t length = 0;
};

}  // namespace mivodrell
