#pragma once
// Test helper: a scratch device directory served by virtual UVC nodes, a manual clock, and a
// Linux device backend on both. The directory goes when the helper does.
#include "Platform/Device/LinuxDeviceBackend.h"
#include "Platform/Device/V4L2/VirtualV4L2DeviceFiles.h"
#include <stdlib.h>
#include <filesystem>
#include <string>
#include <vector>
namespace mivodrell::testing {
struct VirtualV4L2Directory {
    std::string path = [] {
        char pattern[] = "/tmp/mivodrell-dev-XXXXXX";
        return std::string(mkdtemp(pattern) ? pattern : "");
    }();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(5000.0);
    std::shared_ptr<VirtualV4L2DeviceFiles> files = VirtualV4L2DeviceFiles::create(path, clock);
    std::shared_ptr<LinuxDeviceBackend> backend = LinuxDeviceBackend::create({path, files, clock});
    ~VirtualV4L2Directory() {
        backend.reset();
        files.reset();
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::vector<std::string> cameraIDs() const {
        std::vector<std::string> ids;
        for (const auto& device : backend->devices(MediaType::video)) ids.push_back(device.uniqueID);
        return ids;
    }
};
}  // namespace mivodrell::testing
