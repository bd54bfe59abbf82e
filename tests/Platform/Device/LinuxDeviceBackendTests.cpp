#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/CaptureGraph.h"
#include "Platform/Device/V4L2/V4L2Camera.h"
#include "Platform/Device/V4L2/V4L2FrameConverter.h"
#include "Platform/Media/PixelBuffer.h"
#include "support/Collected.h"
#include "support/VirtualV4L2Directory.h"

#include <gtest/gtest.h>

#include <fstream>
#include <tuple>
#include <variant>

namespace mivodrell {
namespace {

using Node = VirtualV4L2Node;
using testing::VirtualV4L2Directory;

Node webcam(const std::string& name, const std::string& bus, bool permitted = true, bool capturesVideo = true) {
    auto node = Node::webcam(name, bus);
    node.permitted = permitted;
    node.capturesVideo = capturesVideo;
    return node;
}

// An infrared camera: greyscale only, which nothing converts.
Node infrared(const std::string& name) {
    Node node;
    node.name = name;
    node.formats = {{v4l2FourCC('G', 'R', 'E', 'Y'), 640, 360, {30}}};
    return node;
}

TEST(LinuxDeviceBackend, ListsCapturableCamerasUnderIdentifiersThatLastTheNodesLife) {
    VirtualV4L2Directory d;
    for (const auto& node : {webcam("video0", "usb-1"), webcam("video1", "usb-1", true, false), infrared("video2"),
                             webcam("video3", "usb-3", false), webcam("video5", "usb-1")}) {
        d.files->addNode(node);
    }
    std::ofstream(d.path + "/video4").put('x');  // a plain file: opens, answers no query
    EXPECT_EQ(d.cameraIDs(), (std::vector<std::string>{"v4l2:usb-1", "v4l2:usb-1/video5"}));
    // udev adds the by-id link and sets the permissions after the node appeared.
    d.files->addByIdLink("usb-Virtual_0001-video-index0", "video0");
    d.files->setPermitted("video3", true);
    EXPECT_EQ(d.cameraIDs(), (std::vector<std::string>{"v4l2:usb-1", "v4l2:usb-3", "v4l2:usb-1/video5"}));
    EXPECT_TRUE(std::holds_alternative<std::shared_ptr<CaptureDeviceInput>>(d.backend->makeInput(*d.backend->device("v4l2:usb-1"))));
    // Plugged in again after it was seen gone, a node starts a new life.
    d.files->removeNode("video0");
    EXPECT_EQ(d.cameraIDs(), (std::vector<std::string>{"v4l2:usb-3", "v4l2:usb-1/video5"}));
    d.files->addNode(webcam("video0", "usb-1"));
    d.files->addByIdLink("usb-Virtual_0001-video-index0", "video0");
    EXPECT_EQ(d.cameraIDs().front(), "usb-Virtual_0001-video-index0");
}

TEST(LinuxDeviceBackend, ReportsACameraWhenItBecomesUsableAndWhenItGoesButNoOtherNodes) {
    VirtualV4L2Directory d;
    auto queue = std::make_shared<SerialQueue>("test.notices");
    testing::Collected<std::pair<DeviceChange::Kind, std::string>> notices;
    auto observation = d.backend->observeDeviceChanges(
        [&](const DeviceChange& change) {
            EXPECT_TRUE(queue->isCurrent());
            if (change.mediaType == MediaType::video) notices.add({change.kind, change.uniqueID});
        },
        queue);
    for (const auto& node : {webcam("video0", "usb-1", false), webcam("video1", "usb-1", true, false), infrared("video2")}) {
        d.files->addNode(node);
    }
    std::ofstream(d.path + "/media0").put('x');
    d.files->addNode(webcam("video4", "usb-4"));
    ASSERT_TRUE(notices.waitFor(1, 10));  // the nodes before it are known by now
    EXPECT_EQ(d.backend->authorizationStatus(MediaType::video), AuthorizationStatus::denied);
    d.files->setPermitted("video0", true);
    ASSERT_TRUE(notices.waitFor(2, 10));
    EXPECT_EQ(d.backend->authorizationStatus(MediaType::video), AuthorizationStatus::authorized);
    d.files->removeNode("video2");
    d.files->removeNode("video0");
    ASSERT_TRUE(notices.waitFor(3, 10));
    queue->sync([] {});
    const auto path = d.path + "/video0";
    using Kind = DeviceChange::Kind;
    EXPECT_EQ(std::tuple(notices.size(), notices.at(0).second, notices.at(1), notices.at(2)),
              std::tuple(std::size_t{3}, d.path + "/video4", std::pair(Kind::connected, path), std::pair(Kind::disconnected, path)));
}

// A camera left in a format we cannot convert is switched at its size to the format that keeps
// its frame rate; frames arrive as BGRA stamped with the driver's (here the clock's) time.
TEST(V4L2Camera, SwitchesAnUnconvertibleFormatToTheOneThatKeepsTheFrameRate) {
    const auto h264 = v4l2FourCC('H', '2', '6', '4'), yuyv = V4L2FrameConverter::yuyv, mjpeg = V4L2FrameConverter::mjpeg;
    struct Row {
        const char* name;
        std::vector<VirtualV4L2Format> formats;  // the first in use
        std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t> expected;  // format, size, rate
    };
    const std::vector<Row> rows = {
        {"a convertible format is kept", {{yuyv, 1280, 720, {10}}, {mjpeg, 1280, 720, {30}}}, {yuyv, 1280, 720, 10}},
        {"Motion-JPEG gives 1080p30 where YUYV gives 5", {{h264, 1920, 1080, {30}}, {yuyv, 1920, 1080, {5}}, {mjpeg, 1920, 1080, {30}}},
         {mjpeg, 1920, 1080, 30}},
        {"YUYV first when it keeps the rate", {{h264, 640, 480, {30}}, {mjpeg, 640, 480, {30}}, {yuyv, 640, 480, {30}}}, {yuyv, 640, 480, 30}},
        {"the rate in use, not the format's default", {{h264, 1280, 720, {15}}, {yuyv, 1280, 720, {30, 15}}}, {yuyv, 1280, 720, 15}},
        {"none keeps it: the fastest", {{h264, 320, 240, {60}}, {yuyv, 320, 240, {5}}, {V4L2FrameConverter::nv12, 320, 240, {20}},
         {mjpeg, 320, 240, {15}}}, {V4L2FrameConverter::nv12, 320, 240, 20}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        VirtualV4L2Directory d;
        Node node;
        node.formats = row.formats;
        d.files->addNode(node);
        auto input = std::get<std::shared_ptr<CaptureDeviceInput>>(d.backend->makeInput(*d.backend->defaultDevice(MediaType::video)));
        testing::Collected<SampleBufferRef> frames;
        ASSERT_FALSE(input->source().start([&](const SampleBufferRef& s) { frames.add(s); }));
        const auto status = d.files->status("video0").value();
        EXPECT_EQ(std::tuple(status.pixelFormat, status.width, status.height, status.frameRate), row.expected);
        ASSERT_TRUE(d.files->produceFrame("video0"));
        ASSERT_TRUE(frames.waitFor(1, 10));
        input->source().stop();
        EXPECT_FALSE(d.files->status("video0")->claimed);  // free for another process
        const auto& picture = *frames.at(0)->imageBuffer;
        EXPECT_EQ(std::tuple(picture.pixelFormat(), std::uint32_t(picture.width()), frames.at(0)->presentationTime.seconds()),
                  std::tuple(PixelFormat::bgra, status.width, 5000.0));
        EXPECT_NEAR(picture.baseAddress()[0], 129, 3);  // the grey picture
    }
}

TEST(V4L2Camera, DeliversBGRAFramesFromARealCamera) {
    V4L2Camera cameras;
    const auto nodes = cameras.discover();
    if (nodes.empty()) GTEST_SKIP() << "no /dev/video* node captures video on this machine";
    auto opened = cameras.open(nodes.front());
    if (auto* failure = std::get_if<PlatformError>(&opened))
        GTEST_SKIP() << "camera cannot be opened: " << failure->description;
    auto input = std::get<std::shared_ptr<CaptureDeviceInput>>(opened);
    if (!input->source().isAvailable()) GTEST_SKIP() << "camera is busy";
    auto graph = CaptureGraph::create(LinuxDeviceBackend::create());
    auto output = std::make_shared<CaptureDataOutput>(MediaType::video);
    testing::Collected<std::shared_ptr<PixelBuffer>> frames;
    output->setSampleBufferDelegate(
        [&](const CaptureDataOutput*, const SampleBufferRef& s) { frames.add(s->imageBuffer); },
        std::make_shared<SerialQueue>("test.camera"));
    graph->addInput(input);
    graph->addOutput(output);
    graph->startRunning();
    ASSERT_TRUE(frames.waitFor(1, 10));
    graph->stopRunning();
    EXPECT_EQ(frames.at(0)->pixelFormat(), PixelFormat::bgra);
    EXPECT_GT(frames.at(0)->width(), 0);
}

}  // namespace
}  // namespace mivodrell
