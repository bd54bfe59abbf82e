#pragma once
// A parsed JSON text: a flat, read-only tree of nodes in document order. Numbers keep their
// text, so that each number is converted by the field that reads it (and fails there, with that
// field's coding path, when it does not fit).
//
// Parsing is strict: one value with only whitespace around it, valid UTF-8 (no lone surrogate
// escapes), no NaN or Infinity literals, at most `maxDepth` nested arrays and objects. Any
// violation throws a data-corrupted DecodingError with an empty coding path.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string_view>

namespace mivodrell {

class JSONNode {
public:
    enum class Kind : std::uint8_t { null, boolean, number, string, array, object };

    Kind kind() const { return kind_; }
    bool isNull() const { return kind_ == Kind::null; }
    bool isObject() const { return kind_ == Kind::object; }
    bool isArray() const { return kind_ == Kind::array; }
    bool boolValue() const { return boolValue_; }
    // The decoded contents of a string, or the text of a number as written.
    std::string_view text() const { return {text_, textLength_}; }
    // The member name of a node held by an object (empty otherwise).
    std::string_view key() const { return {key_, keyLength_}; }
    // Number of elements of an array or members of an object.
    std::uint32_t count() const { return count_; }

    class Iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = JSONNode;
        using difference_type = std::ptrdiff_t;
        using pointer = const JSONNode*;
        using reference = const JSONNode&;

        Iterator() = default;
        explicit Iterator(const JSONNode* node) : node_(node) {}
        const JSONNode& operator*() const { return *node_; }
        const JSONNode* operator->() const { return node_; }
        Iterator& operator++() {
            node_ += node_->subtreeSize_;
            return *this;
        }
        Iterator operator++(int) {
            Iterator before = *this;
            ++*this;
            return before;
        }
        friend bool operator==(const Iterator&, const Iterator&) = default;

    private:
        const JSONNode* node_ = nullptr;
    };

    struct Range {
        Iterator first;
        Iterator last;
        Iterator begin() const { return first; }
        Iterator end() const { return last; }
    };

    // Elements of an array or members of an object, in document order (empty for a scalar).
    Range children() const { return {Iterator(this + 1), Iterator(this + subtreeSize_)}; }

    // The member of an object with exactly this name (byte for byte); of a name given more than
    // once, the last. Null when there is none or when this is no object.
    const JSONNode* member(std::string_view name) const;

    // A short phrase for the kind of value found, as used in error descriptions ("a number").
    std::string_view kindDescription() const;

private:
    friend class JSONDocument;
    friend class JSONDocumentBuilder;

    const char* text_;
    const char* key_;
    std::uint32_t textLength_;
    std::uint32_t keyLength_;
    std::uint32_t count_;
    // This node and everything nested in it: the distance to the next sibling.
    std::uint32_t subtreeSize_;
    Kind kind_;
    bool boolValue_;
};

class JSONDocument {
public:
    static constexpr std::size_t maxDepth = 512;

    // Parses `text`; throws DecodingError (data corrupted, empty coding path) when it is not
    // one valid JSON value. The document does not refer to `text` afterwards.
    explicit JSONDocument(std::string_view text);
    JSONDocument(const JSONDocument&) = delete;
    JSONDocument& operator=(const JSONDocument&) = delete;

    const JSONNode& root() const { return nodes_[0]; }

private:
    friend class JSONDocumentBuilder;

    static constexpr std::size_t inlineTextCapacity = 384;
    static constexpr std::size_t inlineNodeCapacity = 24;

    JSONNode& appendNode();
    void parse(char* buffer, std::size_t length, std::string_view original);

    JSONNode* nodes_ = inlineNodes_;
    std::size_t nodeCount_ = 0;
    std::size_t nodeCapacity_ = inlineNodeCapacity;
    std::unique_ptr<JSONNode[]> heapNodes_;
    std::unique_ptr<char[]> heapText_;
    // Original number texts, used only when a number was too large for the parser itself.
    std::unique_ptr<char[]> originalText_;
    JSONNode inlineNodes_[inlineNodeCapacity];
    char inlineText_[inlineTextCapacity];
};

}  // namespace mivodrell
