#pragma once
// Cameras as V4L2 video-capture nodes. Discovery lists the /dev/video* nodes that capture video
// and stream, in node order: identifier = the node's /dev/v4l/by-id name where one points at
// it, else "v4l2:" + bus info; name = the card name. An opened camera keeps its current format
// when it is YUYV, Motion-JPEG or NV12 and otherwise asks for one of them at the same size.
// Streaming uses four memory-mapped buffers on a capture thread; each frame is converted to a
// fresh BGRA buffer and handed on. A node that vanishes or fails ends streaming quietly.
//
// Device nodes appearing and disappearing are reported through an inotify watch on /dev.

#include "Platform/Device/DeviceCapture.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mivodrell {

struct V4L2Node {
    std::string path;  // /dev/videoN
    CaptureDevice device;
};

class V4L2Camera {
public:
    static std::vector<V4L2Node> discover(const std::string& deviceDirectory = "/dev",
                                          const std::string& byIdDirectory = "/dev/v4l/by-id");
    // Opens the node and settles its format. Open or format failure: the error with its errno;
    // a node held by another process opens but reports itself unavailable.
    static DeviceInputResult open(const V4L2Node& node);
    // Whether capture is allowed: denied when a camera node refuses us with EACCES.
    static AuthorizationStatus authorization(const std::string& deviceDirectory = "/dev");
};

// Watches a directory for video* nodes being created or removed; calls `onChange` on its own
// thread with the node's path. Stops when released.
class V4L2NodeWatcher {
public:
    static std::unique_ptr<V4L2NodeWatcher> start(const std::string& deviceDirectory,
                                                  std::function<void(DeviceChange::Kind, const std::string& path)> onChange);
    virtual ~V4L2NodeWatcher() = default;
};

}  // namespace mivodrell
