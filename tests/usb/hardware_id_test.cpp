// Recognising the module among Windows' serial ports: its hardware ids, the registry's
// multi-strings that hold them, and the COM names the ports carry. Pure text, so the suite runs on
// both systems.
#include "usb/hardware_id.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::ElementsAre;

TEST(HardwareId, NamesTheModuleByWholeIdsAndItsFirstInterface) {
    for (const char* id : {"USB\\VID_0483&PID_5740&REV_0200&MI_00", "USB\\VID_0483&PID_5740",
                           "usb\\vid_0483&pid_5740&mi_00", "USB\\VID_0483&PID_5740&REV_0200"}) {
        EXPECT_TRUE(usb::hardware_id_matches(id, 0x0483, 0x5740)) << id;
    }
    for (const char* id :
         {"USB\\VID_0483&PID_5740&MI_02", "USB\\VID_0483&PID_5741&MI_00", "USB\\VID_04830&PID_5740",
          "USB\\VID_5740&PID_0483", "USB\\VID_0483&PID_57401", "USB\\VID_0483",
          "FTDIBUS\\COMPORT&VID_0403"}) {
        EXPECT_FALSE(usb::hardware_id_matches(id, 0x0483, 0x5740)) << id;
    }
    EXPECT_TRUE(usb::hardware_id_matches("USB\\VID_1209&PID_BEBA&MI_02", 0x1209, 0xbeba, 2));
}

TEST(HardwareId, SplitsAMultiStringUpToItsEmptyString) {
    using namespace std::string_view_literals;
    EXPECT_THAT(usb::split_multi_string("USB\\A&B\0USB\\A\0\0"sv),
                ElementsAre("USB\\A&B", "USB\\A"));
    EXPECT_THAT(usb::split_multi_string("first\0second"sv), ElementsAre("first", "second"));
    EXPECT_THAT(usb::split_multi_string("\0hidden\0"sv), ElementsAre());
}

TEST(HardwareId, KnowsACOMPortNameFromAnyOtherName) {
    for (const char* name : {"COM3", "COM12", "com7", "COM4096"}) {
        EXPECT_TRUE(usb::is_com_port_name(name)) << name;
    }
    for (const char* name : {"COM", "COM0", "COM05", "COMx", "COM1x", "LPT1", "COM12 ",
                             "\\\\.\\COM5", "COM12345", "/dev/ttyACM0"}) {
        EXPECT_FALSE(usb::is_com_port_name(name)) << name;
    }
}

}  // namespace
