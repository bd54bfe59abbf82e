#include "Platform/Device/CaptureGraph.h"

#include "Platform/Base/SerialQueue.h"

#include <algorithm>

namespace mivodrell {

void CaptureDataOutput::setSampleBufferDelegate(Delegate delegate, std::shared_ptr<SerialQueue> queue) {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate_ = std::move(delegate);
    queue_ = std::move(queue);
}

void CaptureDataOutput::deliver(const SampleBufferRef& sample) {
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!delegate_ || !queue_ || !sample) return;
        queue = queue_;
        if (mediaType_ == MediaType::video && alwaysDiscardsLateVideoFrames) {
            const bool waiting = pendingFrame_ != nullptr;
            pendingFrame_ = sample;
            if (waiting) {
                ++droppedLateFrames_;
                return;
            }
            std::weak_ptr<CaptureDataOutput> weak = weak_from_this();
            queue->async([weak] {
                auto self = weak.lock();
                if (!self) return;
                Delegate delegate;
                SampleBufferRef frame;
                {
                    std::lock_guard<std::mutex> inner(self->mutex_);
                    frame = std::move(self->pendingFrame_);
                    self->pendingFrame_.reset();
                    delegate = self->delegate_;
                }
                if (delegate && frame) delegate(self.get(), frame);
            });
            return;
        }
    }
    std::weak_ptr<CaptureDataOutput> weak = weak_from_this();
    queue->async([weak, sample] {
        auto self = weak.lock();
        if (!self) return;
        Delegate delegate;
        {
            std::lock_guard<std::mutex> inner(self->mutex_);
            delegate = self->delegate_;
        }
        if (delegate) delegate(self.get(), sample);
    });
}

std::uint64_t CaptureDataOutput::droppedLateFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return droppedLateFrames_;
}

struct CaptureGraph::State {
    struct Active {
        std::shared_ptr<CaptureDeviceInput> input;
        std::shared_ptr<CaptureDataOutput> output;
    };
    std::vector<std::shared_ptr<CaptureDeviceInput>> inputs;
    std::vector<std::shared_ptr<CaptureDataOutput>> outputs;
    std::vector<Active> active;
    int depth = 0;
    bool running = false;

    bool hasInput(const std::shared_ptr<CaptureDeviceInput>& input) const {
        return std::find(inputs.begin(), inputs.end(), input) != inputs.end();
    }
    bool hasOutput(const std::shared_ptr<CaptureDataOutput>& output) const {
        return std::find(outputs.begin(), outputs.end(), output) != outputs.end();
    }
    std::shared_ptr<CaptureDataOutput> outputFor(MediaType type) const {
        for (const auto& output : outputs) {
            if (output->mediaType() == type) return output;
        }
        return nullptr;
    }

    // Starts and stops sources so that each input delivers exactly while the graph runs and an
    // output of its media type is in it.
    void reconcile() {
        if (depth > 0) return;
        for (auto it = active.begin(); it != active.end();) {
            const bool keep = running && hasInput(it->input) && outputFor(it->input->mediaType()) == it->output;
            if (keep) {
                ++it;
                continue;
            }
            it->input->source().stop();
            it = active.erase(it);
        }
        if (!running) return;
        for (const auto& input : inputs) {
            const bool isActive = std::any_of(active.begin(), active.end(), [&](const Active& a) { return a.input == input; });
            if (isActive) continue;
            auto output = outputFor(input->mediaType());
            if (!output) continue;
            std::weak_ptr<CaptureDataOutput> weak = output;
            const auto error = input->source().start([weak](const SampleBufferRef& sample) {
                if (auto target = weak.lock()) target->deliver(sample);
            });
            if (!error) active.push_back({input, output});
        }
    }
};

std::shared_ptr<CaptureGraph> CaptureGraph::create(std::shared_ptr<DeviceBackend> backend) {
    return std::shared_ptr<CaptureGraph>(new CaptureGraph(std::move(backend)));
}

CaptureGraph::CaptureGraph(std::shared_ptr<DeviceBackend> backend)
    : backend_(std::move(backend)),
      queue_(std::make_shared<SerialQueue>("Mivodrell.CaptureGraph")),
      state_(std::make_shared<State>()) {}

CaptureGraph::~CaptureGraph() {
    auto state = state_;
    queue_->sync([state] {
        state->running = false;
        state->depth = 0;
        state->reconcile();
        for (const auto& input : state->inputs) input->source().setInGraph(false);
    });
}

void CaptureGraph::beginConfiguration() {
    queue_->sync([this] { ++state_->depth; });
}

void CaptureGraph::commitConfiguration() {
    queue_->sync([this] {
        if (state_->depth > 0) --state_->depth;
        state_->reconcile();
    });
}

bool CaptureGraph::canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) {
    if (!input || !input->source().isAvailable()) return false;
    const bool present = queue_->syncResult([&] { return state_->hasInput(input); });
    return !present && backend_->canAddInput(*input);
}

void CaptureGraph::addInput(const std::shared_ptr<CaptureDeviceInput>& input) {
    if (!canAddInput(input)) return;
    queue_->sync([&] {
        state_->inputs.push_back(input);
        input->source().setInGraph(true);
        state_->reconcile();
    });
}

void CaptureGraph::removeInput(const std::shared_ptr<CaptureDeviceInput>& input) {
    queue_->sync([&] {
        if (std::erase(state_->inputs, input) > 0) input->source().setInGraph(false);
        state_->reconcile();
    });
}

bool CaptureGraph::canAddOutput(const std::shared_ptr<CaptureDataOutput>& output) {
    if (!output) return false;
    const bool present = queue_->syncResult([&] { return state_->hasOutput(output); });
    return !present && backend_->canAddOutput(*output);
}

void CaptureGraph::addOutput(const std::shared_ptr<CaptureDataOutput>& output) {
    if (!canAddOutput(output)) return;
    queue_->sync([&] {
        state_->outputs.push_back(output);
        state_->reconcile();
    });
}

void CaptureGraph::removeOutput(const std::shared_ptr<CaptureDataOutput>& output) {
    queue_->sync([&] {
        std::erase(state_->outputs, output);
        state_->reconcile();
    });
}

std::vector<std::shared_ptr<CaptureDeviceInput>> CaptureGraph::inputs() {
    return queue_->syncResult([&] { return state_->inputs; });
}

std::vector<std::shared_ptr<CaptureDataOutput>> CaptureGraph::outputs() {
    return queue_->syncResult([&] { return state_->outputs; });
}

bool CaptureGraph::containsOutput(const std::shared_ptr<CaptureDataOutput>& output) {
    return queue_->syncResult([&] { return state_->hasOutput(output); });
}

void CaptureGraph::startRunning() {
    const bool changed = queue_->syncResult([&] {
        const bool was = state_->running;
        state_->running = true;
        state_->reconcile();
        return !was;
    });
    if (changed && onRunningChanged) onRunningChanged(true);
}

void CaptureGraph::stopRunning() {
    const bool changed = queue_->syncResult([&] {
        const bool was = state_->running;
        state_->running = false;
        state_->reconcile();
        return was;
    });
    if (changed && onRunningChanged) onRunningChanged(false);
}

bool CaptureGraph::isRunning() {
    return queue_->syncResult([&] { return state_->running; });
}

int CaptureGraph::configurationDepth() {
    return queue_->syncResult([&] { return state_->depth; });
}

}  // namespace mivodrell
