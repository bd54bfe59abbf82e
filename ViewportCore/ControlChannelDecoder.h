#pragma once
// Cuts whole frame bodies out of a control-channel byte stream that may split or merge frames
// anywhere. One decoder per connection, used from the connection's own queue; reset it when a
// connection starts.
//
// Between calls the decoder holds at most one incomplete frame (a partial header, or a header and
// part of its body), or after a `DecodeIssue` the offending header and everything received behind
// it, until `reset`. Complete frames are cut straight out of the received bytes, so every received
// byte is copied into the pending buffer at most once: a chunk of many small frames costs time in
// proportion to its size.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "ViewportCore/ControlChannelCoding.h"

namespace mivodrell {

class ControlChannelDecoder {
public:
    // The only failure of `feed`: `declaredLengthTooLarge`, a header declaring more than
    // ControlChannelCoding::maxBodyBytes. The stream is out of step; the owner resets the decoder
    // or drops the connection.
    struct DecodeIssue : std::exception {
        std::int64_t declared = 0;  // the length field as read, 0 to 4,294,967,295

        explicit DecodeIssue(std::int64_t declaredLength);
        const char* what() const noexcept override { return text; }
        friend bool operator==(const DecodeIssue& a, const DecodeIssue& b) { return a.declared == b.declared; }

    private:
        char text[64];
    };

    // The frame bodies one `feed` cut out, in arrival order. The bodies share one block of memory
    // owned by this value; each is seen as a byte span (possibly empty) valid while it lives.
    class Frames {
    public:
        Frames() = default;

        std::size_t size() const noexcept { return starts_.size(); }
        bool empty() const noexcept { return starts_.empty(); }

        std::span<const std::uint8_t> operator[](std::size_t index) const noexcept {
            const std::size_t start = starts_[index] + ControlChannelCoding::headerBytes;
            const std::size_t end = index + 1 < starts_.size() ? starts_[index + 1] : storageSize_;
            return {storage_.get() + start, end - start};
        }
        // The body as text (the JSON of one message).
        std::string_view text(std::size_t index) const noexcept {
            const std::span<const std::uint8_t> body = (*this)[index];
            return {reinterpret_cast<const char*>(body.data()), body.size()};
        }

        class const_iterator {
        public:
            // Bodies are handed out by value (spans), so only an input iterator in the classic
            // sense, but a forward iterator for the standard's iterator concepts.
            using iterator_category = std::input_iterator_tag;
            using iterator_concept = std::forward_iterator_tag;
            using value_type = std::span<const std::uint8_t>;
            using difference_type = std::ptrdiff_t;
            using reference = value_type;
            using pointer = void;

            const_iterator() = default;
            value_type operator*() const noexcept { return (*frames_)[index_]; }
            const_iterator& operator++() noexcept {
                ++index_;
                return *this;
            }
            const_iterator operator++(int) noexcept {
                const_iterator old = *this;
                ++index_;
                return old;
            }
            friend bool operator==(const const_iterator& a, const const_iterator& b) noexcept {
                return a.index_ == b.index_;
            }

        private:
            friend class Frames;
            const_iterator(const Frames* frames, std::size_t index) : frames_(frames), index_(index) {}
            const Frames* frames_ = nullptr;
            std::size_t index_ = 0;
        };

        const_iterator begin() const noexcept { return {this, 0}; }
        const_iterator end() const noexcept { return {this, size()}; }

    private:
        friend class ControlChannelDecoder;
        // Whole frames, headers included, back to back; frame i starts at starts_[i].
        std::unique_ptr<std::uint8_t[]> storage_;
        std::size_t storageSize_ = 0;
        std::vector<std::size_t> starts_;
    };

    ControlChannelDecoder() = default;

    // Appends `bytes` to the stream and returns every frame body completed by them, in order.
    // Throws DecodeIssue when a header declares more than the largest body: the call then returns
    // no frames, not even those completed before the bad header, and the decoder keeps the bad
    // header and every byte behind it (every later `feed` fails again until `reset`).
    Frames feed(std::span<const std::uint8_t> bytes);

    // Drops every pending byte and releases the storage.
    void reset() noexcept;

    // Number of bytes received and not yet handed out in a frame.
    std::size_t pendingByteCount() const noexcept { return pending_.size(); }

    // Total number of bytes this decoder has copied into its pending buffer since it was made
    // (the bytes of incomplete frames and of a stream that failed). Never more than the number of
    // bytes fed.
    std::uint64_t movedByteCount() const noexcept { return movedBytes_; }

private:
    void appendPending(const std::uint8_t* data, std::size_t count);

    std::vector<std::uint8_t> pending_;
    std::uint64_t movedBytes_ = 0;
};

}  // namespace mivodrell
