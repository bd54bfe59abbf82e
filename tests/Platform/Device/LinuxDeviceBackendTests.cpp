#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/CaptureGraph.h"
#include "Platform/Device/LinuxDeviceBackend.h"
#include "Platform/Device/V4L2/V4L2Camera.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <variant>

namespace mivodrell {
namespace {

namespace fs = std::filesystem;

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

// Collects notices and waits (bounded) for them.
struct Notices {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<DeviceChange> changes;
    void add(const DeviceChange& change) {
        std::lock_guard<std::mutex> lock(mutex);
        changes.push_back(change);
        changed.notify_all();
    }
    bool waitFor(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return changes.size() >= count; });
    }
};

TEST(LinuxDeviceBackend, NodesThatAreNotCamerasAreNotListed) {
    TemporaryDirectory dev;
    dev.touch("video0");  // a plain file: opens, but answers no capability query
    dev.touch("videoX");
    auto backend = LinuxDeviceBackend::create(dev.path);
    EXPECT_TRUE(backend->devices(MediaType::video).empty());
    EXPECT_FALSE(backend->defaultDevice(MediaType::video));
    EXPECT_FALSE(backend->device("v4l2:usb-0000:00:14.0-1"));
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
    Notices notices;
    std::atomic<int> offQueue{0};
    auto observation = backend->observeDeviceChanges([&](const DeviceChange& change) {
        if (!queue->isCurrent()) ++offQueue;
        if (change.mediaType == MediaType::video) notices.add(change);
    }, queue);
    dev.touch("media0");  // not a video node: no notice
    dev.touch("video4");
    ASSERT_TRUE(notices.waitFor(1));
    fs::remove(dev.path + "/video4");
    ASSERT_TRUE(notices.waitFor(2));
    queue->sync([] {});
    std::lock_guard<std::mutex> lock(notices.mutex);
    ASSERT_EQ(notices.changes.size(), 2u);
    EXPECT_EQ(notices.changes[0].kind, DeviceChange::Kind::connected);
    EXPECT_EQ(notices.changes[0].uniqueID, dev.path + "/video4");
    EXPECT_EQ(notices.changes[1].kind, DeviceChange::Kind::disconnected);
    EXPECT_EQ(offQueue, 0);
}

TEST(V4L2Camera, DeliversBGRAFramesFromARealCamera) {
    std::error_code error;
    bool anyNode = false;
    for (const auto& entry : fs::directory_iterator("/dev", error)) {
        anyNode = anyNode || entry.path().filename().string().rfind("video", 0) == 0;
    }
    if (!anyNode) GTEST_SKIP() << "no /dev/video* device on this machine";
    const auto nodes = V4L2Camera::discover();
    if (nodes.empty()) GTEST_SKIP() << "no /dev/video* node captures video";
    auto opened = V4L2Camera::open(nodes.front());
    if (auto* failure = std::get_if<PlatformError>(&opened)) GTEST_SKIP() << "camera cannot be opened: " << failure->description;
    auto input = std::get<std::shared_ptr<CaptureDeviceInput>>(opened);
    if (!input->source().isAvailable()) GTEST_SKIP() << "camera is busy";
    auto backend = LinuxDeviceBackend::create();
    auto graph = CaptureGraph::create(backend);
    auto output = std::make_shared<CaptureDataOutput>(MediaType::video);
    auto queue = std::make_shared<SerialQueue>("test.camera");
    std::mutex mutex;
    std::condition_variable arrived;
    std::shared_ptr<PixelBuffer> frame;
    output->setSampleBufferDelegate([&](const CaptureDataOutput*, const SampleBufferRef& sample) {
        std::lock_guard<std::mutex> lock(mutex);
        frame = sample->imageBuffer;
        arrived.notify_all();
    }, queue);
    graph->addInput(input);
    graph->addOutput(output);
    graph->startRunning();
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(10), [&] { return frame != nullptr; }));
    EXPECT_EQ(frame->pixelFormat(), PixelFormat::bgra);
    EXPECT_GT(frame->width(), 0);
    lock.unlock();
    graph->stopRunning();
}

}  // namespace
}  // namespace mivodrell
