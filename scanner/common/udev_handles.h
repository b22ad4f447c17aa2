#pragma once

#include <memory>

#include <libudev.h>

// Owners for libudev objects: each drops its reference when it goes.
template <typename T, T* (*Unref)(T*)>
struct UdevUnref {
    void operator()(T* object) const { Unref(object); }
};

using UdevContext = std::unique_ptr<udev, UdevUnref<udev, udev_unref>>;
using UdevEnumerate =
    std::unique_ptr<udev_enumerate, UdevUnref<udev_enumerate, udev_enumerate_unref>>;
using UdevDevice = std::unique_ptr<udev_device, UdevUnref<udev_device, udev_device_unref>>;
using UdevMonitor = std::unique_ptr<udev_monitor, UdevUnref<udev_monitor, udev_monitor_unref>>;
