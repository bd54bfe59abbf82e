#include "ViewportCore/DecodingError.h"

#include <utility>

namespace mivodrell {

const char* toString(DecodingError::Kind kind) {
    switch (kind) {
        case DecodingError::Kind::dataCorrupted: return "dataCorrupted";
        case DecodingError::Kind::typeMismatch: return "typeMismatch";
        case DecodingError::Kind::keyNotFound: return "keyNotFound";
        case DecodingError::Kind::valueNotFound: return "valueNotFound";
    }
    return "unknown";
}

DecodingError::DecodingError(Kind kind_, std::string type_, std::string key_, CodingPath path,
                             std::string description)
    : kind(kind_), type(std::move(type_)), key(std::move(key_)), codingPath(std::move(path)),
      debugDescription(std::move(description)) {
    message_ = toString(kind);
    if (!type.empty()) message_ += "(" + type + ")";
    if (!key.empty()) message_ += "(\"" + key + "\")";
    message_ += " at ";
    message_ += codingPath.empty() ? std::string("<top level>") : describeCodingPath(codingPath);
    message_ += ": ";
    message_ += debugDescription;
}

DecodingError DecodingError::dataCorrupted(CodingPath path, std::string description) {
    return {Kind::dataCorrupted, {}, {}, std::move(path), std::move(description)};
}

DecodingError DecodingError::typeMismatch(std::string type, CodingPath path, std::string description) {
    return {Kind::typeMismatch, std::move(type), {}, std::move(path), std::move(description)};
}

DecodingError DecodingError::keyNotFound(std::string key, CodingPath path, std::string description) {
    return {Kind::keyNotFound, {}, std::move(key), std::move(path), std::move(description)};
}

DecodingError DecodingError::valueNotFound(std::string type, CodingPath path, std::string description) {
    return {Kind::valueNotFound, std::move(type), {}, std::move(path), std::move(description)};
}

}  // namespace mivodrell
