// The touch screen's description as handed to uinput; creating the device itself needs a kernel
// with uinput and is exercised in tests/vm.

#include "tapsim/UinputTouchDevice.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <sstream>
#include <string>

namespace {

TEST(tapsim_TouchDeviceDescription, IsASingleTouchScreenWithoutIdentity) {
    std::ostringstream out;
    std::ostringstream err;
    tapsim::Console console{out, err};
    int status = -1;
    tapsim::DeviceDescription description = tapsim::describe_touch_device(status, console);
    ASSERT_TRUE(description);
    EXPECT_EQ(status, 0);
    libevdev* device = description.get();
    EXPECT_EQ(std::string(libevdev_get_name(device)), "TapSim - uinput");
    EXPECT_TRUE(libevdev_has_event_code(device, EV_KEY, BTN_TOUCH));
    struct Axis {
        unsigned int code;
        int maximum;
    };
    for (const Axis& axis : {Axis{ABS_X, 1280}, Axis{ABS_Y, 800}, Axis{ABS_PRESSURE, 100}}) {
        SCOPED_TRACE(axis.code);
        const input_absinfo* info = libevdev_get_abs_info(device, axis.code);
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->minimum, 0);
        EXPECT_EQ(info->maximum, axis.maximum);
        EXPECT_EQ(info->value + info->fuzz + info->flat + info->resolution, 0);
    }
    EXPECT_EQ(libevdev_get_id_bustype(device) + libevdev_get_id_vendor(device) +
                  libevdev_get_id_product(device) + libevdev_get_id_version(device),
              0);
    EXPECT_EQ(err.str(), "");
}

}  // namespace
