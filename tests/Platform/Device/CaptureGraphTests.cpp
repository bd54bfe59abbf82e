#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/CaptureGraph.h"
#include "Platform/Device/Virtual/VirtualDeviceServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <variant>

namespace mivodrell {
namespace {

struct Fixture {
    std::shared_ptr<VirtualDeviceServer> server = VirtualDeviceServer::create();
    std::shared_ptr<CaptureGraph> graph = CaptureGraph::create(server);
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.delegate");
    std::shared_ptr<CaptureDataOutput> video = std::make_shared<CaptureDataOutput>(MediaType::video);
    std::shared_ptr<CaptureDataOutput> audio = std::make_shared<CaptureDataOutput>(MediaType::audio);
    std::atomic<int> videoSamples{0};
    std::atomic<int> audioSamples{0};

    Fixture() {
        server->addCamera({"cam", "Cam", 16, 16, 10});
        server->setMicrophone({});
        video->setSampleBufferDelegate([this](const CaptureDataOutput* o, const SampleBufferRef&) {
            EXPECT_EQ(o, video.get());
            ++videoSamples;
        }, queue);
        audio->setSampleBufferDelegate([this](const CaptureDataOutput*, const SampleBufferRef&) { ++audioSamples; }, queue);
    }
    std::shared_ptr<CaptureDeviceInput> input(const std::string& id) {
        auto result = server->makeInput(*server->device(id));
        return std::get<std::shared_ptr<CaptureDeviceInput>>(result);
    }
    void tick() {
        server->tick(0.1);
        queue->sync([] {});
    }
};

TEST(CaptureGraph, ChangesInsideATransactionTakeEffectAtTheCommit) {
    Fixture f;
    f.graph->startRunning();
    f.graph->beginConfiguration();
    f.graph->addInput(f.input("cam"));
    f.graph->addOutput(f.video);
    EXPECT_EQ(f.server->runningCameraSources(), 0);
    f.graph->commitConfiguration();
    EXPECT_EQ(f.server->runningCameraSources(), 1);
    f.tick();
    EXPECT_EQ(f.videoSamples, 2);  // the frames at 0 and 0.1 s

    // Out of a transaction, removing the output stops the input's source at once.
    f.graph->removeOutput(f.video);
    EXPECT_EQ(f.server->runningCameraSources(), 0);
    f.tick();
    EXPECT_EQ(f.videoSamples, 2);
    EXPECT_EQ(f.graph->configurationDepth(), 0);
}

TEST(CaptureGraph, InputsDeliverOnlyWhileRunningAndToAnOutputOfTheirType) {
    Fixture f;
    auto microphone = f.input("virtual-microphone");
    f.graph->addInput(f.input("cam"));
    f.graph->addInput(microphone);
    f.graph->addOutput(f.audio);
    EXPECT_EQ(f.server->runningMicrophoneSources(), 0);  // not running yet
    std::vector<bool> changes;
    f.graph->onRunningChanged = [&](bool running) { changes.push_back(running); };
    f.graph->startRunning();
    f.graph->startRunning();
    EXPECT_EQ(f.server->runningMicrophoneSources(), 1);
    EXPECT_EQ(f.server->runningCameraSources(), 0);  // no video output
    f.server->tick(2048 / 48000.0);
    f.queue->sync([] {});
    EXPECT_EQ(f.audioSamples, 2);
    EXPECT_EQ(f.videoSamples, 0);
    f.graph->stopRunning();
    EXPECT_EQ(f.server->runningMicrophoneSources(), 0);
    EXPECT_EQ(changes, (std::vector<bool>{true, false}));
}

class UnavailableSource final : public CaptureSource {
public:
    std::optional<PlatformError> start(std::function<void(const SampleBufferRef&)>) override { return std::nullopt; }
    void stop() override {}
    bool isAvailable() const override { return false; }
};

TEST(CaptureGraph, RefusesDuplicatesBusyDevicesAndWhatTheBackendRefuses) {
    Fixture f;
    auto cam = f.input("cam");
    EXPECT_TRUE(f.graph->canAddInput(cam));
    f.graph->addInput(cam);
    EXPECT_FALSE(f.graph->canAddInput(cam));
    f.graph->addInput(cam);
    EXPECT_EQ(f.graph->inputs().size(), 1u);

    auto busy = std::make_shared<CaptureDeviceInput>(CaptureDevice{"busy", "Busy"}, std::make_shared<UnavailableSource>());
    EXPECT_FALSE(f.graph->canAddInput(busy));
    EXPECT_FALSE(f.graph->canAddInput(nullptr));

    f.server->setRefusesOutputs(MediaType::video, true);
    EXPECT_FALSE(f.graph->canAddOutput(f.video));
    f.graph->addOutput(f.video);
    EXPECT_TRUE(f.graph->outputs().empty());
    EXPECT_TRUE(f.graph->canAddOutput(f.audio));
    f.graph->addOutput(f.audio);
    EXPECT_FALSE(f.graph->canAddOutput(f.audio));
    EXPECT_TRUE(f.graph->containsOutput(f.audio));
}

TEST(CaptureGraph, ReleasingAGraphStopsItsSources) {
    Fixture f;
    f.graph->addInput(f.input("cam"));
    f.graph->addOutput(f.video);
    f.graph->startRunning();
    EXPECT_EQ(f.server->runningCameraSources(), 1);
    f.graph.reset();
    EXPECT_EQ(f.server->runningCameraSources(), 0);
}

}  // namespace
}  // namespace mivodrell
