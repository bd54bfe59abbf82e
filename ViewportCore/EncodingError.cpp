#include "ViewportCore/EncodingError.h"

#include <utility>

namespace mivodrell {

EncodingError::EncodingError(CodingPath path, std::string description)
    : codingPath(std::move(path)), debugDescription(std::move(description)) {
    message_ = "invalidValue at ";
    message_ += codingPath.empty() ? std::string("<top level>") : describeCodingPath(codingPath);
    message_ += ": ";
    message_ += debugDescription;
}

EncodingError EncodingError::prefixed(CodingKey key) const {
    CodingPath path;
    path.reserve(codingPath.size() + 1);
    path.push_back(std::move(key));
    path.insert(path.end(), codingPath.begin(), codingPath.end());
    return {std::move(path), debugDescription};
}

}  // namespace mivodrell
