#include "Platform/Device/DeviceCapture.h"

#include "Platform/Base/FourCC.h"
#include "Platform/Base/Narrowing.h"
#include "Platform/Base/SerialQueue.h"
#include "Platform/Device/LinuxDeviceBackend.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

namespace mivodrell {

AudioStreamDescription PCMFormat::streamDescription() const {
    AudioStreamDescription d;
    d.sampleRate = sampleRate;
    d.formatID = fourCC("lpcm");
    d.formatFlags = AudioFormatFlag::isFloat | AudioFormatFlag::isPacked;
    if (!interleaved) d.formatFlags |= AudioFormatFlag::isNonInterleaved;
    d.bitsPerChannel = 32;
    d.channelsPerFrame = channelCount;
    d.framesPerPacket = 1;
    d.bytesPerFrame = interleaved ? 4 * channelCount : 4;
    d.bytesPerPacket = d.bytesPerFrame;
    return d;
}

std::string PCMFormat::description() const {
    char text[96];
    std::snprintf(text, sizeof text, "%g Hz, %u ch, Float32, %s", sampleRate, channelCount,
                  interleaved ? "interleaved" : "non-interleaved");
    return text;
}

namespace {

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<DeviceBackend>& currentBackend() {
    static std::shared_ptr<DeviceBackend> backend;
    return backend;
}

}  // namespace

std::shared_ptr<DeviceBackend> DeviceBackend::current() {
    std::lock_guard<std::mutex> lock(currentMutex());
    auto& backend = currentBackend();
    if (!backend) backend = LinuxDeviceBackend::create();
    return backend;
}

void DeviceBackend::setCurrent(std::shared_ptr<DeviceBackend> backend) {
    std::lock_guard<std::mutex> lock(currentMutex());
    currentBackend() = std::move(backend);
}

std::shared_ptr<SerialQueue> mainQueue() {
    static const auto queue = std::make_shared<SerialQueue>("Mivodrell.main");
    return queue;
}

struct DeviceChangeBroadcaster::Shared {
    struct Observer {
        std::uint64_t token = 0;
        std::function<void(const DeviceChange&)> handler;
        std::shared_ptr<SerialQueue> queue;
    };
    std::mutex mutex;
    std::vector<Observer> observers;
    std::uint64_t nextToken = 1;
};

namespace {

class BroadcastObservation final : public DeviceObservation {
public:
    BroadcastObservation(std::weak_ptr<DeviceChangeBroadcaster::Shared> shared, std::uint64_t token)
        : shared_(std::move(shared)), token_(token) {}
    ~BroadcastObservation() override {
        auto shared = shared_.lock();
        if (!shared) return;
        std::lock_guard<std::mutex> lock(shared->mutex);
        std::erase_if(shared->observers, [&](const auto& o) { return o.token == token_; });
    }

private:
    std::weak_ptr<DeviceChangeBroadcaster::Shared> shared_;
    std::uint64_t token_;
};

}  // namespace

DeviceChangeBroadcaster::DeviceChangeBroadcaster() : shared_(std::make_shared<Shared>()) {}

std::shared_ptr<DeviceObservation> DeviceChangeBroadcaster::add(std::function<void(const DeviceChange&)> handler,
                                                                std::shared_ptr<SerialQueue> queue) {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    const auto token = shared_->nextToken++;
    shared_->observers.push_back({token, std::move(handler), queue ? std::move(queue) : mainQueue()});
    return std::make_shared<BroadcastObservation>(shared_, token);
}

void DeviceChangeBroadcaster::post(const DeviceChange& change) {
    std::vector<Shared::Observer> observers;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        observers = shared_->observers;
    }
    std::weak_ptr<Shared> weak = shared_;
    for (auto& observer : observers) {
        const auto token = observer.token;
        observer.queue->async([weak, token, change, handler = observer.handler] {
            // An observer removed after the post is not called.
            auto shared = weak.lock();
            if (!shared) return;
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                const bool registered = std::any_of(shared->observers.begin(), shared->observers.end(),
                                                    [&](const auto& o) { return o.token == token; });
                if (!registered) return;
            }
            if (handler) handler(change);
        });
    }
}

bool DeviceChangeBroadcaster::hasObservers() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return !shared_->observers.empty();
}

}  // namespace mivodrell
