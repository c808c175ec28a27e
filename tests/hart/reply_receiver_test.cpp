#include "hart/reply_receiver.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "reply_test_frames.h"

namespace hart {
namespace {

using test::Reply;

class ReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        const uint8_t address[5] = {0x06, 0x1A, 0x01, 0x02, 0x03};
        std::copy(address, address + 5, link.longAddress);
        link.requestCommand = 2;
        RearmReceiver(link);
    }
    void Feed(const std::vector<uint8_t>& bytes) {
        FeedReplyBytes(link, bytes.data(), bytes.size());
    }
    bool Complete() const { return link.frameComplete.load() == 1; }

    std::vector<uint8_t> LongReply(std::vector<uint8_t> statusAndData, int preambles = 5) {
        return Reply(true, {0x06, 0x1A, 0x01, 0x02, 0x03}, 2, std::move(statusAndData), preambles);
    }

    HartLink link;
};

TEST_F(ReceiverTest, AcceptsAReplyAndStoresItFromTheByteCountOn) {
    Feed(LongReply({0x00, 0x40, 0x40, 0xA0, 0x00, 0x00}));
    ASSERT_TRUE(Complete());
    EXPECT_EQ(link.receiveEnabled.load(), 0);
    EXPECT_TRUE(link.receiveEvent.Wait(0));
    EXPECT_EQ(link.responseRaw[0], 6);
    EXPECT_EQ(link.responseRaw[2], 0x40);
    EXPECT_EQ(link.responsePayload[3], 0x40);
    EXPECT_EQ(link.responsePayload[4], 0xA0);
    EXPECT_EQ(link.responsePayload[2], 0) << "status bytes never reach the payload";
}

TEST_F(ReceiverTest, PreambleCount) {
    Feed(LongReply({0, 0}, 1));
    EXPECT_FALSE(Complete()) << "one preamble byte is not enough";

    RearmReceiver(link);
    std::vector<uint8_t> split = {0xFF, 0x12, 0xFF};
    const auto body = LongReply({0, 0}, 0);
    split.insert(split.end(), body.begin(), body.end());
    Feed(split);
    EXPECT_TRUE(Complete()) << "preamble bytes separated by noise still add up";
}

TEST_F(ReceiverTest, OwnRequestEchoAndBurstFramesResetTheReceiver) {
    for (uint8_t delimiter : {0x82, 0x02, 0x81, 0x01}) {
        RearmReceiver(link);
        Feed({0xFF, 0xFF, 0xFF, delimiter});
        EXPECT_EQ(link.receiverState, kStatePreamble);
        EXPECT_EQ(link.preambleCount, 0);
    }
    // After the echo, the device's reply is still taken.
    Feed(LongReply({0, 0}));
    EXPECT_TRUE(Complete());
}

TEST_F(ReceiverTest, AddressMatching) {
    // Master and burst bits of the first address byte are ignored.
    Feed(Reply(true, {0xC6, 0x1A, 0x01, 0x02, 0x03}, 2, {0, 0}));
    EXPECT_TRUE(Complete());

    link.frameComplete = 0;
    RearmReceiver(link);
    Feed(Reply(true, {0x06, 0x1A, 0x01, 0x02, 0x04}, 2, {0, 0}));
    EXPECT_FALSE(Complete()) << "another device";

    // Short form compares the low four bits of the polling address only.
    link.pollingAddress = 3;
    RearmReceiver(link);
    Feed(Reply(false, {0x13}, 2, {0, 0}));
    EXPECT_TRUE(Complete());
    link.frameComplete = 0;
    RearmReceiver(link);
    Feed(Reply(false, {0x04}, 2, {0, 0}));
    EXPECT_FALSE(Complete());
}

TEST_F(ReceiverTest, ReplyToAnotherCommandIsIgnored) {
    Feed(Reply(true, {0x06, 0x1A, 0x01, 0x02, 0x03}, 3, {0, 0}));
    EXPECT_FALSE(Complete());
}

TEST_F(ReceiverTest, ByteCountLimits) {
    std::vector<uint8_t> data(27, 0x11);
    Feed(LongReply(data));
    EXPECT_TRUE(Complete()) << "27 is the largest count";

    link.frameComplete = 0;
    RearmReceiver(link);
    data.push_back(0x11);
    Feed(LongReply(data));
    EXPECT_FALSE(Complete());

    RearmReceiver(link);
    Feed(LongReply({0x00}));
    EXPECT_TRUE(Complete()) << "count 1: the status byte, then the check byte";

    // Count 0 has no room for a status byte; it must not walk the buffers.
    link.frameComplete = 0;
    RearmReceiver(link);
    std::vector<uint8_t> zero = {0xFF, 0xFF, 0xFF, 0x86, 0x06, 0x1A, 0x01, 0x02, 0x03, 0x02, 0x00};
    zero.insert(zero.end(), 300, 0x55);
    Feed(zero);
    EXPECT_FALSE(Complete());
    EXPECT_NE(link.receiverState, kStateData);
}

TEST_F(ReceiverTest, TheLongestReplyDependsOnTheCommand) {
    // The long tag's 32 characters and the status bytes.
    link.requestCommand = 20;
    RearmReceiver(link);
    std::vector<uint8_t> tag = {0x00, 0x00};
    tag.insert(tag.end(), 32, 'T');
    Feed(Reply(true, {0x06, 0x1A, 0x01, 0x02, 0x03}, 20, tag));
    ASSERT_TRUE(Complete()) << "34 for command 20";
    EXPECT_EQ(link.responseRaw[0], 34);
    EXPECT_EQ(link.responsePayload[34], 'T');

    link.frameComplete = 0;
    RearmReceiver(link);
    tag.push_back('T');
    Feed(Reply(true, {0x06, 0x1A, 0x01, 0x02, 0x03}, 20, tag));
    EXPECT_FALSE(Complete()) << "35 is too long even for command 20";

    // The commands the program sends keep the common limit.
    for (uint8_t command : {0, 2, 15, 33, 34, 40, 182, 201}) {
        link.requestCommand = command;
        link.pollingAddress = 0;
        RearmReceiver(link);
        std::vector<uint8_t> data(28, 0x11);  // status bytes and data
        const bool longForm = command != 0;
        const std::vector<uint8_t> address =
            longForm ? std::vector<uint8_t>{0x06, 0x1A, 0x01, 0x02, 0x03}
                     : std::vector<uint8_t>{0x80};
        Feed(Reply(longForm, address, command, data));
        EXPECT_FALSE(Complete()) << "28 refused for command " << int(command);
        RearmReceiver(link);
        data.pop_back();
        Feed(Reply(longForm, address, command, data));
        EXPECT_TRUE(Complete()) << "27 taken for command " << int(command);
        link.frameComplete = 0;
    }
}

TEST_F(ReceiverTest, AShorterReplyLeavesNothingOfTheLongerOneBefore) {
    Feed(LongReply({0x00, 0x00, 0x40, 0xA0, 0x00, 0x00, 0x41, 0x48, 0x00, 0x00}));
    ASSERT_TRUE(Complete());
    link.frameComplete = 0;
    RearmReceiver(link);
    Feed(LongReply({0x00, 0x40}));
    ASSERT_TRUE(Complete());
    EXPECT_EQ(link.responseRaw[0], 2);
    EXPECT_EQ(link.responseRaw[2], 0x40);
    for (int p = 3; p < kBufferSize; ++p) {
        EXPECT_EQ(link.responsePayload[p], 0) << p;
        EXPECT_EQ(link.responseRaw[p], 0) << p;
    }
}

TEST_F(ReceiverTest, WrongCheckByteWaitsForAMatchingLaterByte) {
    auto frame = LongReply({0, 0});
    const uint8_t good = frame.back();
    frame.back() = static_cast<uint8_t>(good ^ 0x5A);
    Feed(frame);
    EXPECT_FALSE(Complete());
    EXPECT_EQ(link.receiverState, kStateChecksum);
    Feed({0x00, good});
    EXPECT_TRUE(Complete());
}

TEST_F(ReceiverTest, NewStartOfMessageInsideTheDataIsJustData) {
    // Preambles and a delimiter inside the data field are data bytes.
    Feed(LongReply({0x00, 0x00, 0xFF, 0xFF, 0x86, 0x06}));
    ASSERT_TRUE(Complete());
    EXPECT_EQ(link.responsePayload[5], 0x86);
}

TEST_F(ReceiverTest, BytesAfterACompleteFrameAreDropped) {
    auto bytes = LongReply({0x00, 0x00, 0x41});
    const auto second = LongReply({0x00, 0x00, 0x42});
    bytes.insert(bytes.end(), second.begin(), second.end());
    Feed(bytes);
    ASSERT_TRUE(Complete());
    EXPECT_EQ(link.responsePayload[3], 0x41);
    Feed(second);  // a later chunk, before any re-arm
    EXPECT_EQ(link.responsePayload[3], 0x41);
}

TEST(ReceiverIdle, DropsEverythingBeforeTheFirstTransmission) {
    HartLink link;
    link.requestCommand = 0;
    const auto frame = Reply(false, {0x00}, 0, {0, 0});
    FeedReplyBytes(link, frame.data(), frame.size());
    EXPECT_EQ(link.frameComplete.load(), 0);
    EXPECT_EQ(link.receiverState, kStateIdle);
}

// A seeded random stream, with real replies mixed in: the receiver never
// leaves its buffers and never completes a frame whose check byte is wrong.
TEST(ReceiverRandomStream, NeverOverrunsAndNeverAcceptsABadCheckByte) {
    HartLink link;
    const uint8_t address[5] = {0x06, 0x1A, 0x01, 0x02, 0x03};
    std::copy(address, address + 5, link.longAddress);
    link.requestCommand = 2;
    RearmReceiver(link);

    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<uint8_t> stream;
    stream.reserve(1'000'000);
    while (stream.size() < 1'000'000) {
        const int pick = byte(rng);
        if (pick < 8) {
            // Bias towards the frame's shape so the deep states are reached.
            std::vector<uint8_t> data(static_cast<size_t>(byte(rng) % 32), 0);
            for (auto& b : data) b = static_cast<uint8_t>(byte(rng));
            stream.insert(stream.end(), {0xFF, 0xFF, 0x86, 0x06, 0x1A, 0x01, 0x02, 0x03, 0x02});
            stream.push_back(static_cast<uint8_t>(byte(rng) % 30));
            stream.insert(stream.end(), data.begin(), data.end());
        } else {
            stream.push_back(static_cast<uint8_t>(pick));
        }
    }

    int completed = 0;
    size_t pos = 0;
    std::uniform_int_distribution<int> chunk(1, 50);
    while (pos < stream.size()) {
        const size_t n = std::min(stream.size() - pos, static_cast<size_t>(chunk(rng)));
        FeedReplyBytes(link, stream.data() + pos, n);
        pos += n;
        if (link.frameComplete.load()) {
            ++completed;
            // The accepted frame's check byte is right: recompute it.
            const int count = link.responseRaw[0];
            ASSERT_GE(count, 1);
            ASSERT_LE(count, 27);
            uint8_t check = 0x86;
            for (uint8_t a : address) check ^= a;
            check ^= 2;
            for (int i = 0; i <= count; ++i) check ^= link.responseRaw[i];
            EXPECT_EQ(check, link.checksum);
            link.frameComplete = 0;
            RearmReceiver(link);
        }
        ASSERT_TRUE(link.receiverState == kStatePreamble || link.dataPosition <= 28);
    }
    EXPECT_GT(completed, 0) << "the stream should reach complete frames";
}

}  // namespace
}  // namespace hart
