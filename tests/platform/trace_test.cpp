#include "platform/trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wall_clock.h"

namespace platform {
namespace {

// "HH:MM:SS.mmm " then the text.
const std::regex kStamped(R"(\d\d:\d\d:\d\d\.\d\d\d (.*))");

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        lines.push_back(text.substr(at, nl - at));
    if (at < text.size()) lines.push_back(text.substr(at) + " <no line break>");
    return lines;
}

std::string TextOf(const std::string& line) {
    std::smatch m;
    return std::regex_match(line, m, kStamped) ? m[1].str() : "<no time stamp> " + line;
}

TEST(Trace, LinesCarryTheTimeAndFramesTheirLabel) {
    EnableTrace(true);
    testing::internal::CaptureStderr();
    const uint8_t frame[] = {0xFF, 0x02, 0x80, 0x0A};
    TraceHex("TX:", frame, sizeof(frame));
    {
        TraceLabel outer("2 读回路电流");
        TraceHex("TX", frame, sizeof(frame));
        {
            TraceLabel inner("0 识别设备");
            TraceHex("TX", frame, 2);
        }
        TraceHex("TX", frame, 1);
        TraceHex("RX", "15 读当前通道", frame, 1);
    }
    Trace("\n\rIO Pending");
    Trace("end timeout\n");
    EnableTrace(false);
    TraceHex("TX:", frame, sizeof(frame));
    Trace("not shown\n");
    const auto lines = Lines(testing::internal::GetCapturedStderr());
    std::vector<std::string> texts;
    for (const auto& l : lines) texts.push_back(TextOf(l));
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "TX FF 02 80 0A",
                         "TX 2 读回路电流 FF 02 80 0A",
                         "TX 0 识别设备 FF 02",
                         "TX 2 读回路电流 FF",
                         "RX 15 读当前通道 FF",
                         "IO Pending",
                         "end timeout",
                     }));
}

TEST(Trace, TheLabelBelongsToItsThread) {
    EnableTrace(true);
    testing::internal::CaptureStderr();
    const uint8_t byte = 0x42;
    {
        TraceLabel label("2 读回路电流");
        std::thread([&] { TraceHex("TX", &byte, 1); }).join();
    }
    EnableTrace(false);
    EXPECT_EQ(TextOf(Lines(testing::internal::GetCapturedStderr()).at(0)), "TX 42");
}

TEST(Trace, ListenersHearEveryLineWhetherOrNotTheSwitchIsOn) {
    EnableTrace(false);
    std::mutex mutex;
    std::vector<std::string> heard;
    EXPECT_FALSE(TraceEnabled());
    const int id = AddTraceListener([&](std::string_view line) {
        std::lock_guard lock(mutex);
        heard.emplace_back(line);
    });
    EXPECT_TRUE(TraceEnabled()) << "a listener wants the lines";
    testing::internal::CaptureStderr();
    Trace("one\n");
    const uint8_t frame[] = {0x01, 0xAB};
    TraceHex("RX", "2 读回路电流", frame, 2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the switch is off";
    RemoveTraceListener(id);
    EXPECT_FALSE(TraceEnabled());
    Trace("after\n");
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(TextOf(heard[0]), "one");
    EXPECT_EQ(TextOf(heard[1]), "RX 2 读回路电流 01 AB");
    EXPECT_EQ(heard[0].find('\n'), std::string::npos);
}

TEST(Trace, ARemovedListenerIsNeverCalledAgain) {
    // Threads trace while listeners come and go; once RemoveTraceListener
    // has returned its listener's state may be destroyed.
    std::atomic<bool> stop{false};
    std::vector<std::thread> tracers;
    for (int t = 0; t < 3; ++t)
        tracers.emplace_back([&] {
            while (!stop.load()) Trace("busy\n");
        });
    for (int i = 0; i < 200; ++i) {
        auto count = std::make_unique<std::atomic<int>>(0);
        std::atomic<bool> removed{false};
        const int id = AddTraceListener([c = count.get(), &removed](std::string_view) {
            EXPECT_FALSE(removed.load()) << "called after removal";
            c->fetch_add(1);
        });
        std::this_thread::yield();
        RemoveTraceListener(id);
        removed = true;
        count.reset();
    }
    stop = true;
    for (auto& t : tracers) t.join();
}

TEST(WallClock, OffsetsWestOfUtcAndInHalfHours) {
    LocalTime t{2026, 12, 10, 5, 42, 0, 123, -(3 * 60 + 30)};
    EXPECT_EQ(FormatTimeOfDay(t), "05:42:00.123");
    EXPECT_EQ(FormatIso8601(t), "2026-12-10T05:42:00.123-03:30");
    t.utcOffsetMinutes = 5 * 60 + 45;
    EXPECT_EQ(FormatIso8601(t), "2026-12-10T05:42:00.123+05:45");
}

TEST(WallClock, LocalTimeOfAKnownInstant) {
    using namespace std::chrono;
    // 2026-12-10 05:42:00.123 UTC; whatever the zone, local minus offset is it.
    const system_clock::time_point t =
        sys_days{year{2026} / 12 / 10} + hours{5} + minutes{42} + milliseconds{123};
    const LocalTime l = ToLocalTime(t);
    EXPECT_EQ(l.millisecond, 123);
    const auto local = sys_days{year{l.year} / l.month / l.day} + hours{l.hour} +
                       minutes{l.minute} + seconds{l.second} + milliseconds{l.millisecond};
    EXPECT_EQ(local - minutes{l.utcOffsetMinutes}, t);
}

}  // namespace
}  // namespace platform
