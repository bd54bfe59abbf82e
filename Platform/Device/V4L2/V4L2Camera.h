#pragma once
// Cameras as V4L2 video-capture nodes of one device directory (/dev by default), reached through
// a device-file layer (V4L2DeviceFiles.h).
//
// Discovery lists, in node order, the video* nodes that open, capture video, stream and offer at
// least one format the converter takes (YUYV, NV12, Motion-JPEG): an infrared or metadata node
// is left out. Identifier = the name of a <directory>/v4l/by-id link pointing at the node, else
// "v4l2:" + bus info ("/videoN" added when another node already has that identifier). A node
// keeps the identifier it was first listed under while it exists with the same card and bus
// info, so a by-id link that appears later changes nothing. Name = the card name.
//
// Opening settles the format: the current one when it converts; else, at the same size, the
// first of YUYV, Motion-JPEG and NV12 that reaches the current frame rate (else the fastest one)
// at that rate. The device is claimed only when the input starts (format, four memory-mapped
// buffers, streaming on a capture thread): an input made while another input of this object
// still holds the node takes it over once that one stopped, so a graph can swap one input of a
// node for another in one transaction. While an input of this object in another graph holds the
// node, or another process streams from it, a new input opens but reports itself unavailable,
// so no graph takes an input that could never stream. Each frame is converted to a fresh BGRA
// buffer stamped with the driver's monotonic time (the host clock), or with the clock's host
// time when the driver stamps otherwise. A node that vanishes or fails ends streaming quietly.
//
// The watcher reports a listed camera's node appearing, becoming usable (its permissions
// change) and going away, on its own thread; other nodes raise nothing. Every operation may be
// called from any thread.

#include "Platform/Base/Clock.h"
#include "Platform/Device/DeviceCapture.h"
#include "Platform/Device/V4L2/V4L2DeviceFiles.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace mivodrell {

struct V4L2Node {
    std::string path;  // <directory>/videoN
    CaptureDevice device;
};

// Watches the device directory until released.
class V4L2NodeWatcher {
public:
    virtual ~V4L2NodeWatcher() = default;
};

class V4L2Camera {
public:
    // `files` empty: the system's; `clock` empty: Clock::system().
    explicit V4L2Camera(std::string deviceDirectory = "/dev", std::shared_ptr<V4L2DeviceFiles> files = nullptr,
                        std::shared_ptr<const Clock> clock = nullptr);

    std::vector<V4L2Node> discover();
    // Opens the node and settles its format. Open or format failure: the error with its errno.
    DeviceInputResult open(const V4L2Node& node);
    // Whether capture is allowed: denied when a video node refuses us with EACCES.
    AuthorizationStatus authorization();
    // Nothing when the directory cannot be watched.
    std::unique_ptr<V4L2NodeWatcher> watch(std::function<void(DeviceChange::Kind, const std::string& path)> onChange);

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace mivodrell
