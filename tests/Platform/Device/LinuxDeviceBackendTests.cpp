#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/CaptureGraph.h"
#include "Platform/Device/LinuxDeviceBackend.h"
#include "Platform/Device/V4L2/V4L2Camera.h"
#include "support/Collected.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <variant>

namespace mivodrell {
namespace {

namespace fs = std::filesystem;

// A scratch device directory holding plain files in place of device nodes.
struct TemporaryDirectory {
    std::string path;
    TemporaryDirectory() {
        char pattern[] = "/tmp/mivodrell-dev-XXXXXX";
        path = ::mkdtemp(pattern) ? pattern : "";
    }
    ~TemporaryDirectory() {
        std::error_code error;
        fs::remove_all(path, error);
    }
    void touch(const std::string& name) const { std::ofstream(path + "/" + name).put('x'); }
};

TEST(LinuxDeviceBackend, NodesThatAreNotCamerasAreNotListed) {
    TemporaryDirectory dev;
    dev.touch("video0");  // a plain file: opens, but answers no capability query
    dev.touch("videoX");
    auto backend = LinuxDeviceBackend::create(dev.path);
    EXPECT_TRUE(backend->devices(MediaType::video).empty());
    EXPECT_FALSE(backend->defaultDevice(MediaType::video) || backend->device("v4l2:usb-0000:00:14.0-1"));
    const auto input = backend->makeInput({"v4l2:usb-0000:00:14.0-1", "Gone", MediaType::video});
    ASSERT_TRUE(std::holds_alternative<PlatformError>(input));
    EXPECT_EQ(std::get<PlatformError>(input).code, ENODEV);
}

TEST(LinuxDeviceBackend, AuthorizationIsWhetherACameraNodeOpens) {
    TemporaryDirectory dev;
    auto backend = LinuxDeviceBackend::create(dev.path);
    EXPECT_EQ(backend->authorizationStatus(MediaType::video), AuthorizationStatus::authorized);
    dev.touch("video0");
    ::chmod((dev.path + "/video0").c_str(), 0);
    if (::geteuid() == 0) GTEST_SKIP() << "running as root: permissions do not stop us opening the node";
    EXPECT_EQ(backend->authorizationStatus(MediaType::video), AuthorizationStatus::denied);
}

TEST(LinuxDeviceBackend, VideoNodesAppearingAndVanishingAreNoticedOnTheObserversQueue) {
    TemporaryDirectory dev;
    auto backend = LinuxDeviceBackend::create(dev.path);
    auto queue = std::make_shared<SerialQueue>("test.notices");
    testing::Collected<std::pair<DeviceChange::Kind, std::string>> notices;
    std::atomic<int> offQueue{0};
    auto observation = backend->observeDeviceChanges(
        [&](const DeviceChange& change) {
            if (!queue->isCurrent()) ++offQueue;
            if (change.mediaType == MediaType::video) notices.add({change.kind, change.uniqueID});
        },
        queue);
    dev.touch("media0");  // not a video node: no notice
    dev.touch("video4");
    ASSERT_TRUE(notices.waitFor(1, 10));
    fs::remove(dev.path + "/video4");
    ASSERT_TRUE(notices.waitFor(2, 10));
    queue->sync([] {});
    using Kind = DeviceChange::Kind;
    EXPECT_EQ(std::tuple(notices.size(), notices.at(0), notices.at(1)),
              std::tuple(std::size_t{2}, std::pair(Kind::connected, dev.path + "/video4"),
                         std::pair(Kind::disconnected, dev.path + "/video4")));
    EXPECT_EQ(offQueue, 0);
}

TEST(V4L2Camera, DeliversBGRAFramesFromARealCamera) {
    const auto nodes = V4L2Camera::discover();
    if (nodes.empty()) GTEST_SKIP() << "no /dev/video* node captures video on this machine";
    auto opened = V4L2Camera::open(nodes.front());
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
