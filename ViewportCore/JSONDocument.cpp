#include "ViewportCore/JSONDocument.h"

#include "ViewportCore/DecodingError.h"

#include <rapidjson/error/en.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace mivodrell {

// The allocator of the reader's stack: RapidJSON's pool allocator, as its own type so that the
// stack below is the one the reader gets.
class JSONReaderStackAllocator : public rapidjson::MemoryPoolAllocator<> {
public:
    using MemoryPoolAllocator::MemoryPoolAllocator;
};

}  // namespace mivodrell

namespace rapidjson::internal {

// The reader's stack (the iterative parser's states, number texts). RapidJSON's own stack starts
// as null pointers and adds to them at its first push, which is undefined behaviour; this one
// takes its first block when it is made and compares sizes, not pointers.
template <>
class Stack<mivodrell::JSONReaderStackAllocator> {
public:
    Stack(mivodrell::JSONReaderStackAllocator* allocator, std::size_t capacity)
        : allocator_(allocator), capacity_(std::max<std::size_t>(capacity, 64)) {
        bottom_ = static_cast<char*>(allocator_->Malloc(capacity_));
        if (bottom_ == nullptr) throw std::bad_alloc();
    }
    Stack(const Stack&) = delete;
    Stack& operator=(const Stack&) = delete;

    template <typename T>
    T* Push(std::size_t count = 1) {
        const std::size_t bytes = sizeof(T) * count;
        if (bytes > capacity_ - size_) grow(bytes);
        T* top = reinterpret_cast<T*>(bottom_ + size_);
        size_ += bytes;
        return top;
    }
    template <typename T>
    T* Pop(std::size_t count) {
        size_ -= sizeof(T) * count;
        return reinterpret_cast<T*>(bottom_ + size_);
    }
    template <typename T>
    T* Top() {
        return size_ >= sizeof(T) ? reinterpret_cast<T*>(bottom_ + size_ - sizeof(T)) : nullptr;
    }
    void Clear() { size_ = 0; }
    bool Empty() const { return size_ == 0; }
    std::size_t GetSize() const { return size_; }

private:
    void grow(std::size_t bytes) {
        std::size_t capacity = capacity_ + (capacity_ + 1) / 2;
        if (capacity - size_ < bytes) capacity = size_ + bytes;
        char* moved = static_cast<char*>(allocator_->Realloc(bottom_, capacity_, capacity));
        if (moved == nullptr) throw std::bad_alloc();
        bottom_ = moved;
        capacity_ = capacity;
    }

    mivodrell::JSONReaderStackAllocator* allocator_;
    char* bottom_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_;
};

}  // namespace rapidjson::internal

namespace mivodrell {

const JSONNode* JSONNode::member(std::string_view name) const {
    if (kind_ != Kind::object) return nullptr;
    const JSONNode* found = nullptr;
    for (const JSONNode& child : children()) {
        if (child.keyLength_ == name.size() && std::memcmp(child.key_, name.data(), name.size()) == 0) {
            found = &child;
        }
    }
    return found;
}

std::string_view JSONNode::kindDescription() const {
    switch (kind_) {
        case Kind::null: return "a null value";
        case Kind::boolean: return "a boolean";
        case Kind::number: return "a number";
        case Kind::string: return "a string";
        case Kind::array: return "an array";
        case Kind::object: return "a dictionary";
    }
    return "an unknown value";
}

namespace {

constexpr unsigned kParseFlags = rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag |
                                 rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseIterativeFlag;

// Largest text the parser accepts: lengths and offsets are kept in 32 bits.
constexpr std::size_t kMaxTextLength = 0x7FFFFFFF;
// Zero bytes behind the text: its terminator and room for the validator's look-ahead.
constexpr std::size_t kTextPadding = 4;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// End of the longest JSON number that starts at `i` (i itself when none does).
std::size_t scanNumber(const char* s, std::size_t i, std::size_t n) {
    std::size_t p = i;
    if (p < n && s[p] == '-') ++p;
    if (p >= n || !isDigit(s[p])) return i;
    if (s[p] == '0') {
        ++p;
    } else {
        while (p < n && isDigit(s[p])) ++p;
    }
    std::size_t end = p;
    if (p + 1 < n && s[p] == '.' && isDigit(s[p + 1])) {
        p += 2;
        while (p < n && isDigit(s[p])) ++p;
        end = p;
    }
    if (end < n && (s[end] == 'e' || s[end] == 'E')) {
        p = end + 1;
        if (p < n && (s[p] == '+' || s[p] == '-')) ++p;
        if (p < n && isDigit(s[p])) {
            while (p < n && isDigit(s[p])) ++p;
            end = p;
        }
    }
    return end;
}

// Replaces every number outside strings by "0" padded with spaces to the same length, and lists
// the original texts (taken from `original`, which has the same layout) in document order.
// The parser refuses numbers beyond the double range outright; the fields decide instead.
std::vector<std::string_view> neutralizeNumbers(char* s, std::size_t n, const char* original) {
    std::vector<std::string_view> texts;
    std::size_t i = 0;
    while (i < n) {
        const char c = s[i];
        if (c == '"') {
            ++i;
            while (i < n && s[i] != '"') i += (s[i] == '\\') ? 2 : 1;
            ++i;
        } else if (c == '-' || isDigit(c)) {
            const std::size_t end = scanNumber(s, i, n);
            if (end == i) {
                ++i;
                continue;
            }
            texts.emplace_back(original + i, end - i);
            s[i] = '0';
            std::memset(s + i + 1, ' ', end - i - 1);
            i = end;
        } else {
            ++i;
        }
    }
    return texts;
}

}  // namespace

class JSONDocumentBuilder : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, JSONDocumentBuilder> {
public:
    using SizeType = rapidjson::SizeType;

    JSONDocumentBuilder(JSONDocument& document, const std::vector<std::string_view>* numberTexts)
        : document_(document), numberTexts_(numberTexts) {}

    bool tooDeep() const { return tooDeep_; }
    bool loneSurrogate() const { return loneSurrogate_; }

    bool Null() {
        add(JSONNode::Kind::null);
        return true;
    }
    bool Bool(bool value) {
        add(JSONNode::Kind::boolean).boolValue_ = value;
        return true;
    }
    bool RawNumber(const char* text, SizeType length, bool) {
        JSONNode& node = add(JSONNode::Kind::number);
        if (numberTexts_) {
            if (nextNumber_ >= numberTexts_->size()) return false;
            const std::string_view original = (*numberTexts_)[nextNumber_++];
            node.text_ = original.data();
            node.textLength_ = static_cast<std::uint32_t>(original.size());
        } else {
            node.text_ = text;
            node.textLength_ = length;
        }
        return true;
    }
    bool String(const char* text, SizeType length, bool) {
        if (hasSurrogate(text, length)) return false;
        JSONNode& node = add(JSONNode::Kind::string);
        node.text_ = text;
        node.textLength_ = length;
        return true;
    }
    bool Key(const char* text, SizeType length, bool) {
        if (hasSurrogate(text, length)) return false;
        pendingKey_ = text;
        pendingKeyLength_ = length;
        return true;
    }
    bool StartObject() { return open(JSONNode::Kind::object); }
    bool EndObject(SizeType memberCount) { return close(memberCount); }
    bool StartArray() { return open(JSONNode::Kind::array); }
    bool EndArray(SizeType elementCount) { return close(elementCount); }

private:
    // The parser checks raw UTF-8 and escaped surrogate pairs, but lets a lone low surrogate
    // escape (U+DC00 written as an escape) through as ED B0 80. Raw text cannot hold such bytes (they
    // failed validation), so any ED followed by A0..BF here came from an escape.
    bool hasSurrogate(const char* text, SizeType length) {
        const char* p = text;
        const char* const end = text + length;
        while ((p = static_cast<const char*>(std::memchr(p, '\xED', static_cast<std::size_t>(end - p)))) != nullptr) {
            if (p + 1 < end && static_cast<unsigned char>(p[1]) >= 0xA0) {
                loneSurrogate_ = true;
                return true;
            }
            ++p;
        }
        return false;
    }

    JSONNode& add(JSONNode::Kind kind) {
        JSONNode& node = document_.appendNode();
        node.kind_ = kind;
        node.boolValue_ = false;
        node.text_ = "";
        node.textLength_ = 0;
        node.key_ = pendingKey_;
        node.keyLength_ = pendingKeyLength_;
        node.count_ = 0;
        node.subtreeSize_ = 1;
        pendingKey_ = "";
        pendingKeyLength_ = 0;
        return node;
    }
    bool open(JSONNode::Kind kind) {
        if (depth_ == JSONDocument::maxDepth) {
            tooDeep_ = true;
            return false;
        }
        add(kind);
        openNodes_[depth_++] = static_cast<std::uint32_t>(document_.nodeCount_ - 1);
        return true;
    }
    bool close(SizeType count) {
        const std::uint32_t index = openNodes_[--depth_];
        JSONNode& node = document_.nodes_[index];
        node.count_ = count;
        node.subtreeSize_ = static_cast<std::uint32_t>(document_.nodeCount_ - index);
        return true;
    }

    JSONDocument& document_;
    const std::vector<std::string_view>* numberTexts_;
    std::size_t nextNumber_ = 0;
    const char* pendingKey_ = "";
    std::uint32_t pendingKeyLength_ = 0;
    std::size_t depth_ = 0;
    bool tooDeep_ = false;
    bool loneSurrogate_ = false;
    std::uint32_t openNodes_[JSONDocument::maxDepth];
};

JSONNode& JSONDocument::appendNode() {
    if (nodeCount_ == nodeCapacity_) {
        const std::size_t capacity = nodeCapacity_ * 2;
        auto grown = std::make_unique_for_overwrite<JSONNode[]>(capacity);
        std::memcpy(static_cast<void*>(grown.get()), nodes_, nodeCount_ * sizeof(JSONNode));
        heapNodes_ = std::move(grown);
        nodes_ = heapNodes_.get();
        nodeCapacity_ = capacity;
    }
    return nodes_[nodeCount_++];
}

JSONDocument::JSONDocument(std::string_view text) {
    if (text.size() > kMaxTextLength) {
        throw DecodingError::dataCorrupted({}, "The given data was not valid JSON: the text is too long.");
    }
    // The parser's UTF-8 validation reads the continuation bytes of a truncated sequence before
    // judging them, up to three bytes past the terminator: the zero padding keeps those reads
    // inside the buffer (and zero bytes are no continuation bytes, so the text fails).
    char* buffer = inlineText_;
    if (text.size() + kTextPadding > inlineTextCapacity) {
        heapText_ = std::make_unique_for_overwrite<char[]>(text.size() + kTextPadding);
        buffer = heapText_.get();
    }
    std::memcpy(buffer, text.data(), text.size());
    std::memset(buffer + text.size(), 0, kTextPadding);
    parse(buffer, text.size(), text);
}

void JSONDocument::parse(char* buffer, std::size_t length, std::string_view original) {
    // The reader's own stack (the iterative parser's states) starts in this local pool.
    char stackBuffer[1024];
    std::vector<std::string_view> numberTexts;
    bool neutralized = false;

    for (;;) {
        JSONReaderStackAllocator allocator(stackBuffer, sizeof stackBuffer);
        rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, JSONReaderStackAllocator> reader(&allocator,
                                                                                                    256);
        rapidjson::InsituStringStream stream(buffer);
        JSONDocumentBuilder builder(*this, neutralized ? &numberTexts : nullptr);
        nodeCount_ = 0;
        const rapidjson::ParseResult result = reader.Parse<kParseFlags>(stream, builder);

        if (!result && result.Code() == rapidjson::kParseErrorNumberTooBig && !neutralized) {
            // Parse again with every number replaced by a harmless one; each field then judges
            // the original text itself.
            originalText_ = std::make_unique_for_overwrite<char[]>(length + 1);
            std::memcpy(originalText_.get(), original.data(), length);
            originalText_[length] = '\0';
            std::memcpy(buffer, original.data(), length);
            std::memset(buffer + length, 0, kTextPadding);
            numberTexts = neutralizeNumbers(buffer, length, originalText_.get());
            neutralized = true;
            continue;
        }
        if (!result) {
            std::string description = "The given data was not valid JSON: ";
            if (builder.tooDeep()) {
                description += "nesting deeper than " + std::to_string(maxDepth) + " levels";
            } else if (builder.loneSurrogate()) {
                description += "a string holds an unpaired surrogate escape";
            } else {
                description += rapidjson::GetParseError_En(result.Code());
            }
            description += " (at byte " + std::to_string(result.Offset()) + ").";
            throw DecodingError::dataCorrupted({}, std::move(description));
        }
        if (stream.Tell() != length) {
            throw DecodingError::dataCorrupted(
                {}, "The given data was not valid JSON: unexpected character after the top-level value (at byte " +
                        std::to_string(stream.Tell()) + ").");
        }
        return;
    }
}

}  // namespace mivodrell
