// libFuzzer target: any byte string read as a RemoteEvent (and as a HostEvent) gives a message
// or a DecodingError; a message that was read writes and reads back equal.
//
// Build with clang and MIVODRELL_BUILD_FUZZ=ON (the libraries are instrumented too), then run
// build-fuzz/fuzz/fuzz_RemoteEventFuzz -max_len=2048 on a directory of sample messages.

#include "ViewportCore/DecodingError.h"
#include "ViewportCore/HostEvent.h"
#include "ViewportCore/RemoteEvent.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

template <class Message>
void check(std::string_view text) {
    try {
        const Message message = Message::fromJSON(text);
        const std::string written = message.jsonText();
        if (!(Message::fromJSON(written) == message)) std::abort();
    } catch (const mivodrell::DecodingError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    check<mivodrell::RemoteEvent>(text);
    check<mivodrell::HostEvent>(text);
    return 0;
}
