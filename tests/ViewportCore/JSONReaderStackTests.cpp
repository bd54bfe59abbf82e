#include "ViewportCore/DecodingError.h"
#include "ViewportCore/JSONDocument.h"
#include <gtest/gtest.h>
#include <string>
namespace mivodrell {
namespace {
// The reader's stack holds the open arrays and objects and the digits of each number; these
// documents take it from its first block into blocks of the pool and of the heap.
TEST(JSONReaderStack, GrowsFromItsFirstBlockThroughEveryUse) {
    const std::string digits(5000, '7');
    const std::string deep = std::string(JSONDocument::maxDepth - 1, '[') + "{\"n\":" + digits + "}" +
                             std::string(JSONDocument::maxDepth - 1, ']');
    const JSONDocument nested(deep);
    const JSONNode* node = &nested.root();
    for (std::size_t depth = 1; depth < JSONDocument::maxDepth; ++depth) {
        ASSERT_EQ(node->kind(), JSONNode::Kind::array);
        node = &*node->children().begin();
    }
    ASSERT_EQ(node->kind(), JSONNode::Kind::object);
    EXPECT_EQ(node->member("n")->text(), digits);
    // A fresh document after a failed one starts from a clean stack.
    EXPECT_THROW(JSONDocument(std::string(JSONDocument::maxDepth, '[') + "1" + std::string(7, ']')), DecodingError);
    const JSONDocument small("{\"a\":[1,{\"b\":-2.5}],\"c\":{}}");
    EXPECT_EQ(small.root().member("a")->children().begin()->text(), "1");
    EXPECT_EQ(small.root().member("c")->kind(), JSONNode::Kind::object);
}
}  // namespace
}  // namespace mivodrell
