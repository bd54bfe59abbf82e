#include "Platform/Media/SampleBuffer.h"

#include "Platform/Base/Narrowing.h"

namespace mivodrell {

const AttachmentValue* AttachmentDictionary::find(std::string_view key) const {
    for (const auto& [k, v] : entries_) {
        if (k == key) return &v;
    }
    return nullptr;
}

void AttachmentDictionary::set(std::string key, AttachmentValue value) {
    for (auto& [k, v] : entries_) {
        if (k == key) {
            v = std::move(value);
            return;
        }
    }
    entries_.emplace_back(std::move(key), std::move(value));
}

std::optional<std::int64_t> AttachmentValue::asInteger() const {
    if (const auto* i = std::get_if<std::int64_t>(&storage_)) return *i;
    if (const auto* d = std::get_if<double>(&storage_)) return checkedTruncate<std::int64_t>(*d);
    return std::nullopt;
}

std::optional<double> AttachmentValue::asDouble() const {
    if (const auto* d = std::get_if<double>(&storage_)) return *d;
    if (const auto* i = std::get_if<std::int64_t>(&storage_)) return static_cast<double>(*i);
    return std::nullopt;
}

std::optional<bool> AttachmentValue::asBool() const {
    if (const auto* b = std::get_if<bool>(&storage_)) return *b;
    return std::nullopt;
}

const std::string* AttachmentValue::asString() const { return std::get_if<std::string>(&storage_); }

AttachmentValue::AttachmentValue(AttachmentDictionary v)
    : storage_(std::make_shared<const AttachmentDictionary>(std::move(v))) {}

const AttachmentDictionary* AttachmentValue::asDictionary() const {
    const auto* d = std::get_if<std::shared_ptr<const AttachmentDictionary>>(&storage_);
    return d ? d->get() : nullptr;
}

const AttachmentDictionary* SampleBuffer::firstAttachments() const {
    if (!attachments || attachments->empty()) return nullptr;
    return attachments->front().asDictionary();
}

}  // namespace mivodrell
