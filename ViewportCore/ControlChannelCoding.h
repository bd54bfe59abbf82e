#pragma once
// Framing of control messages on a byte stream: a 4-byte big-endian body length, then the body
// (the message's JSON text). Bodies of up to `maxBodyBytes` bytes are allowed; an empty body is
// a valid frame.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mivodrell {

struct ControlChannelCoding {
    static constexpr std::size_t headerBytes = 4;
    static constexpr std::size_t maxBodyBytes = 4194304;

    // The only failure of framing: `messageTooLarge`, the body being larger than `maxBodyBytes`.
    // Nothing is produced, so nothing reaches the stream.
    struct EncodingError : std::exception {
        std::int64_t byteCount = 0;  // size of the body that was refused

        explicit EncodingError(std::int64_t count);
        const char* what() const noexcept override { return text; }
        friend bool operator==(const EncodingError& a, const EncodingError& b) { return a.byteCount == b.byteCount; }

    private:
        char text[64];
    };

    // One complete frame around an already-written body. Throws EncodingError when the body is
    // larger than `maxBodyBytes`.
    static std::vector<std::uint8_t> frame(std::string_view body);

    // One complete frame holding `message` as compact JSON. `M` has a member
    // `void writeJSON(std::string& out) const` that appends the JSON text; its errors (for
    // example a non-finite number) pass through unchanged and nothing is produced. The JSON is
    // written once, behind room for the header, and copied once into the frame.
    template <class M>
    static std::vector<std::uint8_t> encode(const M& message) {
        std::string text(headerBytes, '\0');
        message.writeJSON(text);
        return finishFrame(text);
    }

    // The message of type `M` read from one frame body (no header). `M` has
    // `static M fromJSON(std::string_view body)`; its decoding errors pass through unchanged.
    template <class M>
    static M decode(std::string_view body) {
        return M::fromJSON(body);
    }
    template <class M>
    static M decode(std::span<const std::uint8_t> body) {
        return M::fromJSON(std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    }

    // The body length declared by the four bytes at `header` (big-endian).
    static constexpr std::uint32_t readLength(const std::uint8_t* header) noexcept {
        return (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) | (std::uint32_t{header[2]} << 8) |
               std::uint32_t{header[3]};
    }

private:
    // `text` holds `headerBytes` placeholder bytes followed by the body; checks the size, writes the
    // header and returns the frame.
    static std::vector<std::uint8_t> finishFrame(std::string& text);
};

}  // namespace mivodrell
