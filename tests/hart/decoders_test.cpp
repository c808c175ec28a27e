#include "hart/decoders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace hart {
namespace {

void SetReply(HartLink& link, std::vector<uint8_t> data) {
    link.responseRaw[0] = static_cast<uint8_t>(data.size() + 2);
    for (size_t k = 0; k < data.size(); ++k) link.responsePayload[3 + k] = data[k];
}

TEST(Decoders, BigEndianFloats) {
    const uint8_t five[4] = {0x40, 0xA0, 0x00, 0x00};
    EXPECT_EQ(ReadBigEndianFloat(five), 5.0f);
    uint8_t out[4];
    WriteBigEndianFloat(out, 32.0f);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{0x42, 0x00, 0x00, 0x00}));
    WriteBigEndianFloat(out, -1.5f);
    EXPECT_EQ(ReadBigEndianFloat(out), -1.5f);
}

TEST(Decoders, LoopCurrentAndDamping) {
    HartLink link;
    HartDeviceData d;
    SetReply(link, {0x40, 0xA0, 0x00, 0x00, 0x41, 0x48, 0x00, 0x00});
    DecodeResponse(link, d, 2);
    EXPECT_EQ(d.loopCurrent, 5.0f);
    EXPECT_EQ(d.percentOfRange, 12.5f);

    std::vector<uint8_t> c15(17, 0);
    c15[11] = 0x41;
    SetReply(link, c15);
    DecodeResponse(link, d, 15);
    EXPECT_EQ(d.dampingValue, 8.0f);
}

TEST(Decoders, IdentityBuildsTheLongAddress) {
    HartLink link;
    HartDeviceData d;
    SetReply(link, {254, 0x86, 0x1A, 5, 5, 1, 2, 3, 0, 0x12, 0x34, 0x56});
    DecodeResponse(link, d, 0);
    EXPECT_EQ(d.manufacturerId, 0x86);
    EXPECT_EQ(d.deviceType, 0x1A);
    EXPECT_EQ(d.preamblesRequired, 5);
    EXPECT_EQ(std::vector<uint8_t>(link.longAddress, link.longAddress + 5),
              (std::vector<uint8_t>{0x06, 0x1A, 0x12, 0x34, 0x56}));

    // A reply without data updates the fields from what the buffer holds,
    // but not the address.
    link.responsePayload[4] = 0x01;
    link.responseRaw[0] = 2;
    DecodeResponse(link, d, 0);
    EXPECT_EQ(d.manufacturerId, 0x01);
    EXPECT_EQ(link.longAddress[0], 0x06);
}

TEST(Decoders, DeviceVariablesAndPollingAddress) {
    HartLink link;
    HartDeviceData d;
    std::vector<uint8_t> c33(24, 0);
    c33[0] = 4;
    c33[1] = 39;
    WriteBigEndianFloat(&c33[2], 12.25f);
    c33[6] = 1;
    WriteBigEndianFloat(&c33[8], 3.0f);
    SetReply(link, c33);
    DecodeResponse(link, d, 33);
    EXPECT_EQ(d.deviceVariables[0].code, 4);
    EXPECT_EQ(d.deviceVariables[0].units, 39);
    EXPECT_EQ(d.deviceVariables[0].value, 12.25f);
    EXPECT_EQ(d.deviceVariables[1].code, 1);
    EXPECT_EQ(d.deviceVariables[1].value, 3.0f);

    SetReply(link, {7});
    DecodeResponse(link, d, 6);
    EXPECT_EQ(link.pollingAddress, 7);
}

TEST(Decoders, CommandsThatStoreNothingOrOnlyConditionally) {
    HartLink link;
    HartDeviceData d;
    SetReply(link, {0x00, 0x42});
    DecodeResponse(link, d, 202);
    EXPECT_EQ(d.specific202Status, 0x00);
    EXPECT_EQ(d.specific202Value, 0) << "kept unless the status byte is 0xFF";
    SetReply(link, {0xFF, 0x42});
    DecodeResponse(link, d, 202);
    EXPECT_EQ(d.specific202Value, 0x42);

    HartDeviceData before = d;
    SetReply(link, std::vector<uint8_t>(24, 0x3F));
    for (uint8_t command : {34, 40, 182, 201, 12, 17}) DecodeResponse(link, d, command);
    EXPECT_TRUE(before == d);
}

TEST(Decoders, PackedAsciiFourCharactersInThreeBytes) {
    // 'A' 'B' 'C' 'D' are 1, 2, 3, 4: 000001 000010 000011 000100.
    const uint8_t abcd[3] = {0x04, 0x20, 0xC4};
    EXPECT_EQ(UnpackAscii(abcd, 3), "ABCD");
    // ' ' is 32 and '?' 63, '@' 0 and '_' 31: the two halves of the table.
    const uint8_t edges[3] = {0x80, 0x0F, 0xFF};  // 100000 000000 111111 111111
    EXPECT_EQ(UnpackAscii(edges, 3), " @??");
    const uint8_t edges2[3] = {0x7D, 0xF7, 0xDF};  // 011111 011111 011111 011111
    EXPECT_EQ(UnpackAscii(edges2, 3), "____");
    // Trailing spaces go; inner ones stay; a partial group is not read.
    const uint8_t padded[6] = {0x04, 0x28, 0x20, 0x82, 0x08, 0x20};  // "AB  " + "    "
    EXPECT_EQ(UnpackAscii(padded, 6), "AB");
    EXPECT_EQ(UnpackAscii(abcd, 2), "");
}

TEST(Decoders, TagDescriptorDateAndLongTag) {
    HartLink link;
    HartDeviceData d;
    std::vector<uint8_t> c13(21, 0);
    c13[0] = 0x04;
    c13[1] = 0x20;
    c13[2] = 0xC4;
    c13[6] = 0xFF;
    c13[17] = 0xEE;
    c13[18] = 11;
    c13[19] = 12;
    c13[20] = 126;
    SetReply(link, c13);
    DecodeResponse(link, d, 13);
    EXPECT_EQ(d.packedTag[0], 0x04);
    EXPECT_EQ(d.packedTag[2], 0xC4);
    EXPECT_EQ(d.packedDescriptor[0], 0xFF);
    EXPECT_EQ(d.packedDescriptor[11], 0xEE);
    EXPECT_EQ(d.date[0], 11);
    EXPECT_EQ(d.date[2], 126);

    std::vector<uint8_t> c20(32, ' ');
    c20[0] = 'L';
    c20[31] = 'Z';
    SetReply(link, c20);
    DecodeResponse(link, d, 20);
    EXPECT_EQ(d.longTag[0], 'L');
    EXPECT_EQ(d.longTag[31], 'Z');
}

}  // namespace
}  // namespace hart
