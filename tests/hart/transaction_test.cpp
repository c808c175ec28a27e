// Transactions end to end: hart/ over the serial link over the simulated
// fixture, which parses the master's frames with its own code.
#include "hart/transaction.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "hart/frame_codec.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "serial/port_factory.h"
#include "serial/serial_link.h"
#include "sim/simulated_fixture.h"
#include "simulated_link.h"

namespace hart {
namespace {

using sim::Fault;
using sim::LineEvent;
using sim::Target;

struct FakeWindow : MainWindowServices {
    std::atomic<int> channel{-1};
    std::vector<int> numbers;
    int GetChannelIndex() override { return channel.load(); }
    void ShowDeviceNumber(int number) override { numbers.push_back(number); }
};

sim::FixtureConfig Config() {
    sim::FixtureConfig c;
    c.manufacturerId = 0x86;  // the address byte is the low six bits: 0x06
    c.deviceType = 0x1A;
    c.deviceNumber = 0x000203;
    c.activeChannel = 5;
    sim::TransmitterConfig t;
    t.channel = 5;
    t.manufacturerId = 0x26;
    t.deviceType = 0x05;
    t.deviceId = {0x10, 0x20, 0x30};
    c.transmitters.push_back(t);
    c.carrierHoldMs = 3000;  // long enough to be seen on a loaded machine
    return c;
}

class TransactionTest : public ::testing::Test {
protected:
    explicit TransactionTest(double scale = 10.0) : scale_(scale) {}

    void SetUp() override { ASSERT_TRUE(test::OpenSimulatedLink(fixture, window, scale_)); }
    void TearDown() override { test::CloseSimulatedLink(); }

    std::vector<LineEvent> Frames(LineEvent::Kind kind = LineEvent::kMasterFrame) {
        std::vector<LineEvent> out;
        for (auto& e : fixture.LineLog())
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    // Identify the fixture and forget what the wire saw so far.
    void IdentifyFixture() {
        ASSERT_EQ(FixtureTransaction(2), 1);
        fixture.ClearLineLog();
    }

    double scale_;
    sim::SimulatedFixture fixture{Config()};
    FakeWindow window;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> v) { return {v.begin(), v.end()}; }

TEST_F(TransactionTest, FirstFixtureTransactionIdentifiesSignalsThenSendsLongForm) {
    ASSERT_EQ(FixtureTransaction(2), 1);
    const auto frames = Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82}));
    // Command 2, long form, to the address learned from the reply.
    EXPECT_EQ(frames[1].bytes,
              Bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0x86, 0x1A, 0x00, 0x02, 0x03, 0x02, 0x00,
                     0x82 ^ 0x86 ^ 0x1A ^ 0x00 ^ 0x02 ^ 0x03 ^ 0x02 ^ 0x00}));
    EXPECT_FALSE(frames[0].dtr);
    EXPECT_FALSE(frames[1].dtr);
    EXPECT_EQ(window.numbers, std::vector<int>{0x000203});
    EXPECT_EQ(g_hartLink.requestDataCount.load(), 0);

    // Between the two frames: five times DTR and RTS up for 300 ms, down for 300 ms.
    std::vector<LineEvent> lines;
    for (auto& e : fixture.LineLog())
        if ((e.kind == LineEvent::kDtr || e.kind == LineEvent::kRts) &&
            int32_t(e.tick - frames[0].endTick) > 0 && int32_t(frames[1].tick - e.tick) > 0)
            lines.push_back(e);
    ASSERT_EQ(lines.size(), 20u);
    for (size_t i = 0; i < 20; i += 2) {
        EXPECT_EQ(lines[i].kind, LineEvent::kDtr);
        EXPECT_EQ(lines[i + 1].kind, LineEvent::kRts);
        EXPECT_EQ(lines[i].level, (i / 2) % 2 == 0);
        EXPECT_EQ(lines[i + 1].level, lines[i].level);
    }
    for (size_t i = 2; i < 20; i += 2) {
        const uint32_t step = lines[i].tick - lines[i - 2].tick;
        EXPECT_GE(step, 295u) << i;
        EXPECT_LE(step, 590u) << i;  // a loaded machine oversleeps, but not a step twice
    }
    EXPECT_FALSE(lines.back().level) << "both lines end low";
}

TEST_F(TransactionTest, CallersDataWaitsOutTheIdentification) {
    SetRequestDataCount(4);
    SetRequestFloat(0, 6.0f);  // channel 7
    ASSERT_EQ(FixtureTransaction(34), 1);
    const auto frames = Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes.size(), 10u) << "identification goes without data";
    const auto& f = frames[1].bytes;
    ASSERT_EQ(f.size(), 18u);
    EXPECT_EQ(f[11], 34);
    EXPECT_EQ(f[12], 4);
    EXPECT_EQ(Bytes({f[13], f[14], f[15], f[16]}), Bytes({0x40, 0xC0, 0x00, 0x00}));
    EXPECT_EQ(fixture.ActiveChannel(), 6);
    EXPECT_EQ(g_hartLink.requestDataCount.load(), 0);

    // Known now: only the command goes out, and the channel reads back.
    fixture.ClearLineLog();
    ASSERT_EQ(FixtureTransaction(15), 1);
    EXPECT_EQ(Frames().size(), 1u);
    EXPECT_EQ(g_hartData.dampingValue, 6.0f);
}

TEST_F(TransactionTest, DeviceNumberWriteShowsAtTheNextIdentification) {
    IdentifyFixture();
    SetRequestDataCount(3);
    SetRequestByte(0, 0);
    SetRequestByte(1, 0);
    SetRequestByte(2, 4);
    ASSERT_EQ(FixtureTransaction(182), 1);
    EXPECT_EQ(fixture.DeviceNumber(), 4u);
    ForgetFixture();
    ASSERT_EQ(FixtureTransaction(2), 1);
    EXPECT_EQ(window.numbers.back(), 4);
}

TEST_F(TransactionTest, SilentDeviceThreeAttemptsAtTheQuietTimeOfA380) {
    IdentifyFixture();
    fixture.InjectFault(Fault::kNoReply, 3);
    EXPECT_EQ(FixtureTransaction(2), 0);
    const auto frames = Frames();
    ASSERT_EQ(frames.size(), 3u);
    // Each attempt: the frame, 380 ms for a first character, 380 ms quiet.
    for (size_t i = 1; i < frames.size(); ++i) {
        const uint32_t gap = frames[i].tick - frames[i - 1].endTick;
        EXPECT_GE(gap, 380u + 380u) << i;
        EXPECT_LE(gap, 380u + 380u + 100u) << i;
    }
    EXPECT_EQ(g_hartLink.busQuietTime.load(), 380u);
    EXPECT_EQ(g_hartLink.fixtureIdentified, 0) << "a failed command forgets the fixture";
    fixture.ClearLineLog();
    EXPECT_EQ(FixtureTransaction(2), 1);
    EXPECT_EQ(Frames().size(), 2u) << "identified again";
}

TEST_F(TransactionTest, ReplyThatNeverCompletesTimesOutAndQuietsFor75) {
    IdentifyFixture();
    fixture.InjectFault(Fault::kBadChecksum, 1);
    EXPECT_EQ(FixtureTransaction(2), 1) << "the second attempt gets a good reply";
    const auto frames = Frames();
    ASSERT_EQ(frames.size(), 2u);
    const auto replies = Frames(LineEvent::kReply);
    ASSERT_GE(replies.size(), 1u);
    // After the 100 ms settle and 800 ms wait, 75 ms of quiet.
    const uint32_t gap = frames[1].tick - frames[0].endTick;
    EXPECT_GE(gap, 100u + 800u + 75u);
    EXPECT_LE(gap, 100u + 800u + 75u + 150u);
    EXPECT_EQ(g_hartLink.busQuietTime.load(), 75u);
}

TEST_F(TransactionTest, CarrierAfterAReplyMeansA310QuietTime) {
    IdentifyFixture();
    window.channel = 5;
    fixture.InjectFault(Fault::kCarrierHeld, 1, Target::kTransmitter);
    ASSERT_EQ(ChannelTransaction(0), 1);  // identifies the transmitter
    ASSERT_EQ(ChannelTransaction(0), 1);
    EXPECT_EQ(g_hartLink.busQuietTime.load(), 310u);
}

TEST_F(TransactionTest, CommunicationErrorIsRetriedAndThreeOfThemFail) {
    IdentifyFixture();
    fixture.InjectFault(Fault::kCommError, 3);
    EXPECT_EQ(FixtureTransaction(2), 0);
    EXPECT_EQ(Frames().size(), 3u);
    fixture.ClearLineLog();
    fixture.InjectFault(Fault::kCommError, 1);
    EXPECT_EQ(FixtureTransaction(2), 1);
}

TEST_F(TransactionTest, ChannelTransactionsCacheAndForgetTheAddress) {
    IdentifyFixture();
    window.channel = -1;
    EXPECT_EQ(ChannelTransaction(40), 0);
    EXPECT_TRUE(fixture.LineLog().empty()) << "no channel: nothing sent, lines untouched";

    window.channel = 5;
    SetRequestDataCount(4);
    SetRequestFloat(0, 12.0f);
    ASSERT_EQ(ChannelTransaction(40), 1);
    EXPECT_EQ(g_channelAddressCache.entries[5].known, 1);
    EXPECT_EQ(g_channelAddressCache.entries[5].deviceId[2], 0x30);
    EXPECT_FLOAT_EQ(fixture.TransmitterCurrent(5), 12.0f);
    EXPECT_EQ(g_hartLink.requestDataCount.load(), 0);
    for (const auto& f : Frames()) {
        EXPECT_TRUE(f.dtr) << "channel frames go with DTR high";
        EXPECT_TRUE(f.rtsThroughout) << "and RTS keyed";
    }

    fixture.InjectFault(Fault::kRejectedCode, 1, Target::kTransmitter);
    EXPECT_EQ(ChannelTransaction(40), 0);
    EXPECT_EQ(g_channelAddressCache.entries[5].known, 0);
    fixture.ClearLineLog();
    ASSERT_EQ(ChannelTransaction(0), 1);
    ASSERT_GE(Frames().size(), 1u);
    EXPECT_EQ(Frames()[0].bytes[5], 0x02) << "identified again in the short form";
}

TEST_F(TransactionTest, NoPortOrAVanishedPortFailsWithoutHanging) {
    IdentifyFixture();
    fixture.VanishPorts();
    EXPECT_EQ(FixtureTransaction(2), 0);
    for (int i = 0; i < 100 && serial::IsPortOpen(); ++i) platform::Sleep(10);
    EXPECT_FALSE(serial::IsPortOpen());
    EXPECT_EQ(FixtureTransaction(2), 0);
    EXPECT_EQ(g_hartLink.requestDataCount.load(), 0);

    serial::ClosePort();
    SetRequestDataCount(4);
    EXPECT_EQ(ChannelTransaction(40), 0);
    EXPECT_EQ(FixtureTransaction(34), 0);
    EXPECT_EQ(g_hartLink.requestDataCount.load(), 0);
}

TEST_F(TransactionTest, AVanishedPortEndsTheTransactionAtOnce) {
    IdentifyFixture();
    fixture.InjectFault(Fault::kNoReply, 3);
    std::atomic<int> result{-1};
    platform::EnableTrace(true);
    testing::internal::CaptureStderr();
    std::thread worker([&] { result = FixtureTransaction(2); });
    // Gone while the first attempt waits for an answer.
    platform::Sleep(600);
    const auto t0 = std::chrono::steady_clock::now();
    fixture.VanishPorts();
    worker.join();
    const std::string trace = testing::internal::GetCapturedStderr();
    platform::EnableTrace(false);
    EXPECT_EQ(result.load(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    size_t sent = 0;
    for (size_t at = trace.find(" TX "); at != std::string::npos; at = trace.find(" TX ", at + 1))
        ++sent;
    EXPECT_EQ(sent, 1u) << "no attempt goes to a port that is gone:\n" << trace;
    EXPECT_EQ(g_hartLink.busQuietTime.load(), kDefaultBusQuietTime);

    fixture.ClearFaults();
    fixture.RestorePorts();
    serial::ClosePort();
    ASSERT_EQ(serial::OpenPort(1), 1);
    EXPECT_EQ(FixtureTransaction(2), 1) << "chosen again once it is back";
}

TEST_F(TransactionTest, TransactionsRunAcrossTheTickWrap) {
    IdentifyFixture();
    platform::SetTick(0xFFFFFFFFu - 1500u);
    fixture.InjectFault(Fault::kBadChecksum, 1);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(FixtureTransaction(2), 1) << i;
    const auto frames = Frames();
    ASSERT_EQ(frames.size(), 4u);
    // The retry after the broken reply waits 100 + 800 + 75 ms, counted in
    // 32 bits whichever side of the wrap the ticks fall.
    const uint32_t gap = frames[1].tick - frames[0].endTick;
    EXPECT_GE(gap, 975u);
    EXPECT_LE(gap, 975u + 150u);
    EXPECT_LT(frames.back().tick, frames.front().tick) << "the tick has wrapped";
}

TEST_F(TransactionTest, PortChangesRacingChannelSwitchesNeverSendAnEmptyRequest) {
    platform::SetTimeScale(50.0);
    serial::SetPortFactory([this](int n) {
        if (n != 1 && n != 2) return serial::PortEndpoint{};
        return serial::PortEndpoint{fixture.CreatePort(), "sim", serial::PortName(n)};
    });
    std::atomic<bool> stop{false};
    std::atomic<int> switches{0};
    std::thread worker([&] {
        for (int i = 0; !stop.load(); ++i) {
            SetRequestDataCount(4);
            SetRequestFloat(0, static_cast<float>(i % 33));
            if (FixtureTransaction(34) == 1) ++switches;
        }
    });
    for (int i = 0; i < 60; ++i) {
        platform::Sleep(static_cast<uint32_t>(i * 37 % 500));
        serial::OpenPort(1 + i % 2);
    }
    // Once the changes stop, the worker identifies the fixture afresh and
    // gets through; how long that takes depends on the machine's sleeps.
    for (int waited = 0; switches.load() == 0 && waited < 60000; waited += 100) {
        platform::Sleep(100);
    }
    stop = true;
    worker.join();
    EXPECT_GT(switches.load(), 0);
    int seen = 0;
    for (const auto& f : Frames()) {
        size_t d = 0;
        while (d < f.bytes.size() && f.bytes[d] == 0xFF) ++d;
        if (d + 7 >= f.bytes.size() || f.bytes[d] != 0x82 || f.bytes[d + 6] != 34) continue;
        ++seen;
        EXPECT_EQ(f.bytes[d + 7], 4) << "command 34 without its four data bytes";
    }
    EXPECT_GT(seen, 0);
}

TEST_F(TransactionTest, ALateReplyIsNeverTakenForTheNextAttemptsAnswer) {
    // The late reply completes during the next attempt's quiet wait; that
    // attempt must wait for its own answer, not return on the old one.
    sim::FixtureConfig c = Config();
    c.lateReplyMs = 420;
    sim::SimulatedFixture late(c);
    serial::ClosePort();
    serial::SetPortFactory(serial::SinglePortFactory(2, [&late] { return late.CreatePort(); }));
    ASSERT_EQ(serial::OpenPort(2), 1);
    ASSERT_EQ(FixtureTransaction(2), 1);
    late.ClearLineLog();
    late.InjectFault(Fault::kLateReply, 1);
    ASSERT_EQ(FixtureTransaction(2), 1);
    const uint32_t done = platform::Tick();
    std::vector<LineEvent> replies;
    for (auto& e : late.LineLog())
        if (e.kind == LineEvent::kReply) replies.push_back(e);
    // The late one and the next attempt's (and, on a loaded machine, maybe
    // a third): the transaction ends after the last of them.
    ASSERT_GE(replies.size(), 2u);
    EXPECT_GE(int32_t(done - replies.back().endTick), 0) << "returned before its own reply ended";
    serial::ClosePort();
}

TEST_F(TransactionTest, NoisyLineStillCarriesTheReply) {
    IdentifyFixture();
    fixture.InjectFault(Fault::kNoise, 2);
    EXPECT_EQ(FixtureTransaction(2), 1);
    EXPECT_EQ(Frames().size(), 1u);
}

// A stand-in for a user-interface thread: runs what is posted to it, and
// offers the blocking queued call that a window might make from a worker.
class GuiThread {
public:
    GuiThread() : thread_([this] { Run(); }) {}
    ~GuiThread() {
        Post({});
        thread_.join();
    }
    void Post(std::function<void()> task) {
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
        }
        cv_.notify_one();
    }
    void Call(const std::function<void()>& task) {
        std::promise<void> done;
        Post([&] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }

private:
    void Run() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return !tasks_.empty(); });
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            if (!task) return;
            task();
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    std::thread thread_;
};

struct BlockingWindow : MainWindowServices {
    GuiThread& gui;
    std::atomic<int> shown{0};
    explicit BlockingWindow(GuiThread& g) : gui(g) {}
    int GetChannelIndex() override { return -1; }
    void ShowDeviceNumber(int) override {
        gui.Call([this] { ++shown; });
    }
};

// At real time: an abort is measured against the waits it cuts short.
class RealTimeTransactionTest : public TransactionTest {
protected:
    RealTimeTransactionTest() : TransactionTest(1.0) {}

    void TwoPorts() {
        serial::SetPortFactory([this](int n) {
            if (n != 1 && n != 2) return serial::PortEndpoint{};
            return serial::PortEndpoint{fixture.CreatePort(), "sim", serial::PortName(n)};
        });
    }
    // Starts `transaction` on a worker, waits until `ready` or 5 s, changes
    // the port and returns how long the change took; the transaction's
    // result goes to `result`.
    std::chrono::milliseconds ChangePortDuring(std::function<int()> transaction,
                                               std::function<bool()> ready, int& result) {
        std::atomic<int> r{-1};
        std::thread worker([&] { r = transaction(); });
        for (int i = 0; i < 500 && !ready(); ++i) platform::Sleep(10);
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(serial::OpenPort(serial::CurrentPort() == 1 ? 2 : 1), 1);
        const auto took = std::chrono::steady_clock::now() - t0;
        worker.join();
        result = r.load();
        return std::chrono::duration_cast<std::chrono::milliseconds>(took);
    }
    void IdentifyQuickly() {
        platform::SetTimeScale(10.0);
        IdentifyFixture();
        platform::SetTimeScale(1.0);
    }
};

TEST_F(RealTimeTransactionTest, APortChangeCutsARunningTransactionShort) {
    TwoPorts();
    IdentifyQuickly();
    const auto after = [](uint32_t ms) {
        const uint32_t t = platform::Tick() + ms;
        return [t] { return int32_t(platform::Tick() - t) >= 0; };
    };
    int result = -1;

    // A silent fixture: the port change does not wait out three attempts.
    fixture.InjectFault(Fault::kNoReply, 3);
    auto took = ChangePortDuring([] { return FixtureTransaction(2); }, after(600), result);
    EXPECT_EQ(result, 0);
    EXPECT_LT(took.count(), 150) << "silent fixture";
    fixture.ClearFaults();

    // A carrier that stays on holds the quiet wait.
    fixture.InjectFault(Fault::kCarrierHeld, 1);
    ASSERT_EQ(FixtureTransaction(2), 1);
    took = ChangePortDuring([] { return FixtureTransaction(2); }, after(300), result);
    EXPECT_EQ(result, 0);
    EXPECT_LT(took.count(), 150) << "carrier held";

    // The 3 s of line signalling after an identification.
    ForgetFixture();
    fixture.ClearLineLog();
    took = ChangePortDuring([] { return FixtureTransaction(2); },
                            [this] {
                                for (const auto& e : fixture.LineLog())
                                    if (e.kind == LineEvent::kDtr && e.level) return true;
                                return false;
                            },
                            result);
    EXPECT_EQ(result, 0);
    EXPECT_LT(took.count(), 150) << "line signalling";
    EXPECT_EQ(g_hartLink.fixtureIdentified, 0) << "signalled in full next time";
    EXPECT_EQ(FixtureTransaction(2), 1);

    // Choosing the port already open interrupts nothing.
    fixture.InjectFault(Fault::kNoReply, 3);
    fixture.ClearLineLog();
    std::thread worker([&] { result = FixtureTransaction(2); });
    platform::Sleep(200);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(serial::OpenPort(serial::CurrentPort()), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(20));
    worker.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(Frames().size(), 3u) << "all three attempts made";
}

TEST_F(RealTimeTransactionTest, AWindowThatWaitsForItsGuiNeverDeadlocksWithAPortChange) {
    TwoPorts();
    platform::SetTimeScale(10.0);
    GuiThread gui;
    BlockingWindow blocking(gui);
    g_pMainDlg = &blocking;
    std::atomic<bool> stop{false};
    // The user-interface thread changes the port every 1.5 s while the
    // worker identifies the fixture over and over: identifications succeed,
    // their line signalling is cut short.
    std::thread changer([&] {
        while (!stop.load()) {
            platform::Sleep(1500);
            gui.Post([] { serial::OpenPort(serial::CurrentPort() == 1 ? 2 : 1); });
        }
    });
    std::promise<void> finished;
    std::thread worker([&] {
        for (int i = 0; i < 200 && blocking.shown.load() < 3; ++i) {
            ForgetFixture();
            FixtureTransaction(2);
        }
        finished.set_value();
    });
    if (finished.get_future().wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "deadlock between the worker and the GUI stand-in\n");
        std::_Exit(2);
    }
    worker.join();
    stop = true;
    changer.join();
    gui.Call([] {});
    g_pMainDlg = &window;
    EXPECT_GE(blocking.shown.load(), 1);
}

// At real time: RTS covers a keyed frame and drops one character after it.

TEST_F(RealTimeTransactionTest, RtsDropsOneCharacterTimeAfterTheLastByte) {
    // The fixture's identity comes first (3 s of line signalling).
    IdentifyFixture();
    window.channel = 5;
    ASSERT_EQ(ChannelTransaction(0), 1);
    const auto log = fixture.LineLog();
    int checked = 0;
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].kind != LineEvent::kMasterFrame) continue;
        EXPECT_TRUE(log[i].rtsThroughout);
        for (size_t j = i + 1; j < log.size(); ++j) {
            if (log[j].kind == LineEvent::kRts && !log[j].level) {
                const int32_t after = int32_t(log[j].tick - log[i].endTick);
                EXPECT_GE(after, 9 - 3);
                EXPECT_LE(after, 9 + 5);
                ++checked;
                break;
            }
        }
    }
    EXPECT_GE(checked, 1);
}

}  // namespace
}  // namespace hart
