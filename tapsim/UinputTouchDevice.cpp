#include "tapsim/UinputTouchDevice.h"

#include <linux/input-event-codes.h>

#include <cerrno>
#include <cstring>

namespace tapsim {

namespace {

// libevdev's enable calls answer only -1 on failure, so there is no system text to print.
DeviceDescription enableFailed(int result, const char* what, int& status, Console& console) {
    console.out.flush();
    console.err << "libevdev: cannot enable " << what << '\n';
    console.err.flush();
    status = -result;
    return nullptr;
}

}  // namespace

DeviceDescription describe_touch_device(int& status, Console& console) {
    DeviceDescription description(libevdev_new());
    if (!description) {
        reportError(console, "libevdev_new", ENOMEM);
        status = ENOMEM;
        return nullptr;
    }
    libevdev* const device = description.get();
    libevdev_set_name(device, kDeviceName);
    if (const int result = libevdev_enable_event_type(device, EV_KEY); result < 0) {
        return enableFailed(result, "EV_KEY", status, console);
    }
    if (const int result = libevdev_enable_event_type(device, EV_ABS); result < 0) {
        return enableFailed(result, "EV_ABS", status, console);
    }
    if (const int result = libevdev_enable_event_code(device, EV_KEY, BTN_TOUCH, nullptr);
        result < 0) {
        return enableFailed(result, "BTN_TOUCH", status, console);
    }
    struct Axis {
        unsigned int code;
        int maximum;
        const char* name;
    };
    for (const Axis& axis : {Axis{ABS_X, 1280, "ABS_X"}, Axis{ABS_Y, 800, "ABS_Y"},
                             Axis{ABS_PRESSURE, 100, "ABS_PRESSURE"}}) {
        input_absinfo info{};
        info.minimum = 0;
        info.maximum = axis.maximum;
        if (const int result = libevdev_enable_event_code(device, EV_ABS, axis.code, &info);
            result < 0) {
            return enableFailed(result, axis.name, status, console);
        }
    }
    status = 0;
    return description;
}

std::optional<UinputTouchDevice> UinputTouchDevice::create(int& status, Console& console) {
    DeviceDescription description = describe_touch_device(status, console);
    if (!description) {
        return std::nullopt;
    }
    libevdev_uinput* device = nullptr;
    if (const int result = libevdev_uinput_create_from_device(
            description.get(), LIBEVDEV_UINPUT_OPEN_MANAGED, &device);
        result < 0) {
        reportError(console, "libevdev_uinput_create_from_device", -result);
        status = -result;
        return std::nullopt;
    }
    status = 0;
    return UinputTouchDevice(std::move(description), device);
}

int UinputTouchDevice::writeEvent(unsigned int type, unsigned int code, int value) {
    return libevdev_uinput_write_event(device_.get(), type, code, value);
}

}  // namespace tapsim
