#include "ViewportCore/CodingKey.h"

namespace mivodrell {

std::string describeCodingPath(const CodingPath& path) {
    std::string text;
    for (const CodingKey& key : path) {
        if (key.intValue) {
            text += '[';
            text += std::to_string(*key.intValue);
            text += ']';
        } else {
            if (!text.empty()) text += '.';
            text += key.stringValue;
        }
    }
    return text;
}

}  // namespace mivodrell
