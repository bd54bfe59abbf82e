#pragma once
// Helpers shared by the control-message tests.
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include "ViewportCore/CodingKey.h"
#include "support/Thrown.h"
#include "ViewportCore/DecodingError.h"
namespace mivodrell::testsupport {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using testing::thrown;
// A text that must not read, with the error it must give.
struct DecodeFailure {
    std::string body;
    DecodingError::Kind kind;
    std::string path;       // describeCodingPath of the error's coding path
    std::string typeOrKey;  // the type (type mismatch, value not found) or the key (key not found)
};
template <class Message>
void expectDecodeFailure(const DecodeFailure& f) {
    SCOPED_TRACE(f.body);
    const auto error = thrown<DecodingError>([&] { static_cast<void>(Message::fromJSON(f.body)); });
    ASSERT_TRUE(error) << "read without error";
    EXPECT_EQ(error->kind, f.kind) << error->what();
    EXPECT_EQ(describeCodingPath(error->codingPath), f.path) << error->what();
    if (!f.typeOrKey.empty()) {
        EXPECT_EQ(f.kind == DecodingError::Kind::keyNotFound ? error->key : error->type, f.typeOrKey) << error->what();
    }
    EXPECT_FALSE(error->debugDescription.empty());
}
}  // namespace mivodrell::testsupport
