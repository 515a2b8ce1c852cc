#pragma once

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <memory>
#include <optional>

#include "tapsim/Console.h"
#include "tapsim/EventWriter.h"

namespace tapsim {

inline constexpr const char* kDeviceName = "TapSim - uinput";

struct LibevdevFree {
    void operator()(libevdev* description) const { libevdev_free(description); }
};
using DeviceDescription = std::unique_ptr<libevdev, LibevdevFree>;

// The single-touch screen: BTN_TOUCH, ABS_X 0..1280, ABS_Y 0..800, ABS_PRESSURE 0..100, no
// identity. Returns null after a failure, with status set to the exit status it calls for
// (12 when nothing could be allocated, otherwise libevdev's error made positive).
DeviceDescription describe_touch_device(int& status, Console& console);

// The virtual touch screen, created through uinput with libevdev managing the uinput node.
// Destroying the object removes the device from the system.
class UinputTouchDevice final : public EventWriter {
  public:
    // Returns nothing after a failure, reported on console.err, with status set as above
    // (13 when /dev/uinput may not be opened, 2 when the kernel has no uinput).
    static std::optional<UinputTouchDevice> create(int& status, Console& console);

    int writeEvent(unsigned int type, unsigned int code, int value) override;

  private:
    struct UinputDestroy {
        void operator()(libevdev_uinput* device) const { libevdev_uinput_destroy(device); }
    };

    UinputTouchDevice(DeviceDescription description, libevdev_uinput* device)
        : description_(std::move(description)), device_(device) {}

    // Declared in this order so that the device goes before its description.
    DeviceDescription description_;
    std::unique_ptr<libevdev_uinput, UinputDestroy> device_;
};

}  // namespace tapsim
