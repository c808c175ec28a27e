#include "platform/trace.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(Trace, HexDumpOfAFrame) {
    EnableTrace(true);
    testing::internal::CaptureStderr();
    const uint8_t frame[] = {0xFF, 0x02, 0x80, 0x0A};
    TraceHex("TX:", frame, sizeof(frame));
    Trace("end timeout\n");
    EnableTrace(false);
    TraceHex("TX:", frame, sizeof(frame));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "TX: FF 02 80 0A\nend timeout\n");
}

}  // namespace
}  // namespace platform
