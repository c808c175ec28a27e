#include "hart/frame_codec.h"

#include <gtest/gtest.h>

#include <vector>

#include "hart/decoders.h"

namespace hart {
namespace {

std::vector<uint8_t> Build(HartLink& link, size_t capacity = kRequestFrameCapacity) {
    uint8_t frame[256] = {};
    const size_t n = BuildRequestFrame(link, frame, capacity);
    return {frame, frame + n};
}

void SetAddress(HartLink& link, std::initializer_list<uint8_t> a) {
    std::copy(a.begin(), a.end(), link.longAddress);
}

TEST(RequestFrame, WorkedExamples) {
    HartLink link;
    link.longFrame = 0;
    link.requestCommand = 0;
    EXPECT_EQ(Build(link),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82}));

    link.longFrame = 1;
    SetAddress(link, {0x06, 0x1A, 0x01, 0x02, 0x03});
    link.requestCommand = 2;
    EXPECT_EQ(Build(link), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x86, 0x1A,
                                                 0x01, 0x02, 0x03, 0x02, 0x00, 0x1C}));

    link.requestCommand = 34;
    link.requestDataCount = 4;
    WriteBigEndianFloat(link.requestData, 5.0f);
    EXPECT_EQ(Build(link),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x86, 0x1A, 0x01, 0x02,
                                    0x03, 0x22, 0x04, 0x40, 0xA0, 0x00, 0x00, 0xD8}));
}

TEST(RequestFrame, AddressBitsAndPollingAddress) {
    HartLink link;
    link.longFrame = 1;
    // Bit 6 of the stored byte would be burst mode: the builder sends the
    // byte as stored plus the master bit, nothing more.
    SetAddress(link, {0x3F, 0, 0, 0, 0});
    EXPECT_EQ(Build(link)[6], 0xBF);

    link.longFrame = 0;
    link.pollingAddress = 15;
    EXPECT_EQ(Build(link)[6], 0x8F);
}

TEST(RequestFrame, LengthFollowsDataCountAndNeverOverrunsTheBuffer) {
    HartLink link;
    link.longFrame = 1;
    link.requestDataCount = 38;  // exactly what 52 bytes hold in the long form
    EXPECT_EQ(Build(link).size(), 52u);
    link.requestDataCount = 39;
    EXPECT_TRUE(Build(link).empty());
    link.requestDataCount = 255;
    EXPECT_TRUE(Build(link, 256).empty()) << "more than the request data buffer holds";
    link.longFrame = 0;
    link.requestDataCount = 3;
    EXPECT_EQ(Build(link).size(), 13u);
}

TEST(ReplyClassification, StatusBytes) {
    HartLink link;
    for (int code : {0, 1, 8, 17, 27, 29, 31, 33, 63, 65, 127})
        EXPECT_FALSE(IsRejectedResponseCode(static_cast<uint8_t>(code))) << code;
    for (int code : {2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 28, 32, 64})
        EXPECT_TRUE(IsRejectedResponseCode(static_cast<uint8_t>(code))) << code;

    link.responseRaw[1] = 0x80;
    EXPECT_FALSE(IsCommunicationOk(link));
    link.responseRaw[1] = 0x7F;
    EXPECT_TRUE(IsCommunicationOk(link));
    link.responseRaw[1] = 8;
    EXPECT_TRUE(IsResponseCodeAccepted(link));
    link.responseRaw[1] = 16;
    EXPECT_FALSE(IsResponseCodeAccepted(link));
}

}  // namespace
}  // namespace hart
