#include "meter/meter_target.h"

#include <gtest/gtest.h>

namespace meter {
namespace {

MeterTarget Parsed(const std::string& text) {
    std::string why;
    const auto target = ParseMeterTarget(text, &why);
    EXPECT_TRUE(target.has_value()) << text << ": " << why;
    return target.value_or(MeterTarget{});
}

TEST(MeterTargetTest, TheThreeTransportsWithTheirDefaults) {
    MeterTarget s = Parsed("serial:/dev/ttyUSB0");
    EXPECT_EQ(s.kind, MeterKind::kSerial);
    EXPECT_EQ(s.path, "/dev/ttyUSB0");
    EXPECT_EQ(s.baud, 9600);

    s = Parsed("serial:/dev/ttyS1:19200");
    EXPECT_EQ(s.path, "/dev/ttyS1");
    EXPECT_EQ(s.baud, 19200);

    // A by-path name holds colons; only an all-digit last part is a baud rate.
    s = Parsed("serial:/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    EXPECT_EQ(s.path, "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    EXPECT_EQ(s.baud, 9600);

    s = Parsed("tcp:192.168.0.20");
    EXPECT_EQ(s.kind, MeterKind::kTcp);
    EXPECT_EQ(s.host, "192.168.0.20");
    EXPECT_EQ(s.port, 5025);
    s = Parsed("tcp:dmm.lab:5024");
    EXPECT_EQ(s.host, "dmm.lab");
    EXPECT_EQ(s.port, 5024);
    s = Parsed("tcp:[fe80::1]:6000");
    EXPECT_EQ(s.host, "fe80::1");
    EXPECT_EQ(s.port, 6000);
    EXPECT_EQ(Parsed("tcp:[::1]").port, 5025);

    s = Parsed("usbtmc:/dev/usbtmc0");
    EXPECT_EQ(s.kind, MeterKind::kUsbtmc);
    EXPECT_EQ(s.path, "/dev/usbtmc0");

    EXPECT_EQ(Parsed("sim").kind, MeterKind::kSimulated);
    EXPECT_DOUBLE_EQ(Parsed("sim:").simulatedMa, 4.0);
    EXPECT_DOUBLE_EQ(Parsed("sim:12.5").simulatedMa, 12.5);
}

TEST(MeterTargetTest, FormattedTargetsReadBackTheSame) {
    for (const char* text : {"serial:/dev/ttyUSB0:115200", "tcp:10.0.0.7:5025",
                             "tcp:[fe80::1]:5025", "usbtmc:/dev/usbtmc1", "sim:12.5"}) {
        EXPECT_EQ(FormatMeterTarget(Parsed(text)), text);
    }
    EXPECT_EQ(FormatMeterTarget(Parsed("serial:/dev/ttyS0")), "serial:/dev/ttyS0:9600");
    EXPECT_EQ(FormatMeterTarget(Parsed("tcp:dmm")), "tcp:dmm:5025");
}

TEST(MeterTargetTest, MalformedTargetsSayWhy) {
    const struct {
        const char* text;
        const char* reason;  // a part of the reason
    } cases[] = {
        {"", "empty"},
        {"/dev/ttyUSB0", "unknown meter"},
        {"gpib:22", "unknown meter"},
        {"Serial:/dev/ttyS0", "unknown meter"},
        {"serial:", "needs a device path"},
        {"serial::9600", "needs a device path"},
        {"serial:/dev/ttyS0:12345", "unsupported baud rate 12345"},
        {"serial:/dev/ttyS0:0", "unsupported baud rate"},
        {"tcp:", "needs a host"},
        {"tcp::5025", "needs a host"},
        {"tcp:host:", "empty port"},
        {"tcp:host:0", "bad port 0"},
        {"tcp:host:65536", "bad port 65536"},
        {"tcp:host:50x", "bad port"},
        {"tcp:fe80::1", "brackets"},
        {"tcp:[::1", "without its ']'"},
        {"tcp:[::1]x", "only :PORT"},
        {"tcp:[]:5025", "needs a host"},
        {"usbtmc:", "needs a device path"},
        {"sim:-1", "0 to 25"},
        {"sim:30", "0 to 25"},
        {"sim:nan", "0 to 25"},
        {"sim:4 ", "0 to 25"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(ParseMeterTarget(c.text, &why).has_value()) << c.text;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.text << ": " << why;
    }
}

}  // namespace
}  // namespace meter
