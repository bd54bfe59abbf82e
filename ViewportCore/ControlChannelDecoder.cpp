#include "ViewportCore/ControlChannelDecoder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "ViewportCore/ControlChannelCoding.h"

namespace mivodrell {

namespace {

constexpr std::size_t kHeader = ControlChannelCoding::headerBytes;
// After a large frame completes, pending storage beyond this is given back.
constexpr std::size_t kRetainedCapacity = 256 * 1024;
// Chunks from this size on are copied while their headers are walked, one block per header.
constexpr std::size_t kEarlyCopyThreshold = 4096;
constexpr std::size_t kCopyBlock = 64;

}  // namespace

ControlChannelDecoder::DecodeIssue::DecodeIssue(std::int64_t declaredLength) : declared(declaredLength) {
    std::snprintf(text, sizeof text, "declaredLengthTooLarge(declared: %lld)", static_cast<long long>(declaredLength));
}

void ControlChannelDecoder::appendPending(const std::uint8_t* data, std::size_t count) {
    if (count == 0) return;
    pending_.insert(pending_.end(), data, data + count);
    movedBytes_ += count;
}

ControlChannelDecoder::Frames ControlChannelDecoder::feed(std::span<const std::uint8_t> bytes) {
    const std::uint8_t* input = bytes.data();
    std::size_t left = bytes.size();

    // 1. Finish the incomplete frame held from earlier calls, if any.
    std::size_t headSize = 0;  // bytes of that frame (header and body) once complete
    const std::uint8_t* headTail = nullptr;  // its last bytes, in this call's input
    std::size_t headFromInput = 0;
    if (!pending_.empty()) {
        if (pending_.size() < kHeader) {
            const std::size_t take = std::min(kHeader - pending_.size(), left);
            appendPending(input, take);
            input += take;
            left -= take;
            if (pending_.size() < kHeader) return {};
        }
        const std::uint32_t length = ControlChannelCoding::readLength(pending_.data());
        if (length > ControlChannelCoding::maxBodyBytes) {
            appendPending(input, left);
            throw DecodeIssue(length);
        }
        const std::size_t total = kHeader + length;
        const std::size_t missing = total > pending_.size() ? total - pending_.size() : 0;
        if (left < missing) {
            pending_.reserve(total);
            appendPending(input, left);
            return {};
        }
        headSize = total;
        headTail = input;
        headFromInput = missing;
        input += missing;
        left -= missing;
    }

    // 2. Cut every further complete frame straight out of the received bytes, and copy them once
    // into the result's storage.
    Frames frames;
    const std::uint8_t* cursor = input;
    std::size_t rest = left;
    // (An oversized first header is refused by the walk below.)
    const bool firstCompletes = rest >= kHeader && rest - kHeader >= ControlChannelCoding::readLength(cursor);
    if (headSize > 0 || firstCompletes) {
        frames.starts_.reserve(left / 32 + 16);
        if (headSize > 0) frames.starts_.push_back(0);
    }
    // For a large chunk the storage is opened before the headers are walked, and the received
    // bytes are copied into it a block per step of the walk: each step waits on the header it
    // reads, and the copy fills that time. What the walk outruns is copied afterwards.
    std::uint8_t* early = nullptr;
    const std::uint8_t* copied = input;
    std::size_t copyable = 0;  // whole blocks left to copy early
    if (firstCompletes && left >= kEarlyCopyThreshold) {
        frames.storage_ = std::make_unique_for_overwrite<std::uint8_t[]>(headSize + left);
        early = frames.storage_.get() + headSize;
        copyable = left / kCopyBlock;
    }
    while (rest >= kHeader) {
        if (copyable > 0) {
            std::memcpy(early + (copied - input), copied, kCopyBlock);
            copied += kCopyBlock;
            --copyable;
        }
        const std::uint32_t length = ControlChannelCoding::readLength(cursor);
        if (length > ControlChannelCoding::maxBodyBytes) {
            // Frames split off earlier in this call stay consumed; the decoder keeps the bad
            // header and everything behind it.
            pending_.clear();
            appendPending(cursor, rest);
            throw DecodeIssue(length);
        }
        if (rest - kHeader < length) break;
        frames.starts_.push_back(headSize + static_cast<std::size_t>(cursor - input));
        cursor += kHeader + length;
        rest -= kHeader + length;
    }
    const std::size_t regionSize = static_cast<std::size_t>(cursor - input);

    // 3. Complete the copy.
    if (!frames.starts_.empty()) {
        frames.storageSize_ = headSize + regionSize;
        if (!frames.storage_) frames.storage_ = std::make_unique_for_overwrite<std::uint8_t[]>(frames.storageSize_);
        std::uint8_t* out = frames.storage_.get();
        if (headSize > 0) {
            std::memcpy(out, pending_.data(), pending_.size());
            if (headFromInput > 0) std::memcpy(out + pending_.size(), headTail, headFromInput);
            out += headSize;
        }
        const std::size_t done = std::min(regionSize, static_cast<std::size_t>(copied - input));
        if (regionSize > done) std::memcpy(out + done, input + done, regionSize - done);
    }

    // 4. Keep the incomplete tail for the next call.
    if (headSize > 0) {
        if (pending_.capacity() > kRetainedCapacity) {
            std::vector<std::uint8_t>().swap(pending_);
        } else {
            pending_.clear();
        }
    }
    appendPending(cursor, rest);
    return frames;
}

void ControlChannelDecoder::reset() noexcept { std::vector<std::uint8_t>().swap(pending_); }

}  // namespace mivodrell
