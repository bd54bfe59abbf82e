#pragma once
// JSON form of the display model.
//   DisplayInfo:     {"id":1,"frame":[[x,y],[w,h]],"scale":2,"isMain":true,"localizedName":"..."}
//                    (all five members required)
//   DisplayTopology: {"displays":[...]}; the bounds are never written. Reading goes through the
//                    topology's constructor, so the displays come out sorted and the bounds are
//                    recomputed; any other member ("bounds" included) is ignored.

#include "ViewportCore/DisplayInfo.h"
#include "ViewportCore/DisplayTopology.h"
#include "ViewportCore/WireCoding.h"

namespace mivodrell {

DisplayInfo decodeDisplayInfo(const JSONNode& node, const CodingPathLink& at);
void decodeJSONValue(const JSONNode& node, const CodingPathLink& at, DisplayTopology& out);

void encodeJSONValue(JSONWriter& writer, const DisplayInfo& display);
void encodeJSONValue(JSONWriter& writer, const DisplayTopology& topology);

}  // namespace mivodrell
