// The POSIX transports against the stand-in meter: a serial meter on a
// pseudo-terminal, a LAN meter on a TCP port of 127.0.0.1 and a USBTMC
// device played by a pseudo-terminal that answers without line ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "meter/meter.h"
#include "meter/meter_target.h"
#include "meter/transport_factory.h"
#include "meter_standin.h"

namespace meter {
namespace {

using standin::Behaviour;
using Strings = std::vector<std::string>;

enum class Endpoint { kSerial, kTcp, kUsbtmc };

std::string EndpointName(Endpoint e) {
    switch (e) {
        case Endpoint::kSerial:
            return "pty";
        case Endpoint::kTcp:
            return "tcp";
        case Endpoint::kUsbtmc:
            return "usbtmc";
    }
    return "";
}

class StandInTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvok-meter-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        standIn_.reset();
        std::filesystem::remove_all(dir_);
    }

    // The stand-in reading 4.0213 mA on all three endpoints.
    void StartStandIn(std::vector<Behaviour> script = {}) {
        standin::StandInOptions o;
        o.currentMa = 4.0213;
        o.script = std::move(script);
        standIn_ = std::make_unique<standin::MeterStandIn>(o);
        std::string error;
        ASSERT_TRUE(standIn_->AddPty(dir_ + "/serial", &error)) << error;
        ASSERT_TRUE(standIn_->AddUsbtmc(dir_ + "/usbtmc0", &error)) << error;
        ASSERT_TRUE(standIn_->AddTcp(&port_, &error)) << error;
        ASSERT_TRUE(standIn_->Start(&error)) << error;
    }

    std::string Target(Endpoint e) const {
        switch (e) {
            case Endpoint::kSerial:
                return "serial:" + dir_ + "/serial:19200";
            case Endpoint::kTcp:
                return "tcp:127.0.0.1:" + std::to_string(port_);
            case Endpoint::kUsbtmc:
                return "usbtmc:" + dir_ + "/usbtmc0";
        }
        return {};
    }

    std::unique_ptr<Meter> MeterOn(Endpoint e, MeterOptions options = {}) {
        std::string why;
        const auto target = ParseMeterTarget(Target(e), &why);
        EXPECT_TRUE(target.has_value()) << why;
        return std::make_unique<Meter>(CreateSystemTransport(*target), options);
    }

    Strings Commands() const { return standIn_->Commands(); }

    std::string dir_;
    uint16_t port_ = 0;
    std::unique_ptr<standin::MeterStandIn> standIn_;
};

class EachTransportTest : public StandInTest, public ::testing::WithParamInterface<Endpoint> {};

TEST_P(EachTransportTest, IdentifiesAndReadsInMilliamps) {
    StartStandIn();
    auto m = MeterOn(GetParam());
    const auto id = m->Connect();
    ASSERT_TRUE(id.Ok()) << id.Error().Describe();
    EXPECT_EQ(id->raw, "Standin Labs,SL-1,0001,1.0");
    EXPECT_EQ(id->model, "SL-1");
    for (int i = 0; i < 3; ++i) {
        const auto r = m->ReadMilliamps();
        ASSERT_TRUE(r.Ok()) << r.Error().Describe();
        EXPECT_NEAR(*r, 4.0213, 1e-9);
    }
    EXPECT_EQ(Commands(),
              (Strings{"*IDN?", "*CLS", "CONF:CURR:DC 0.1", "READ?", "READ?", "READ?"}));
    for (const auto& h : standIn_->Heard()) EXPECT_EQ(h.endpoint, EndpointName(GetParam()));
}

TEST_P(EachTransportTest, SilenceTimesOutAndTheErrorQueueIsAskedOnce) {
    StartStandIn({Behaviour::kAnswer, Behaviour::kError});
    auto m = MeterOn(GetParam());
    ASSERT_TRUE(m->Connect().Ok());
    const auto start = std::chrono::steady_clock::now();
    const auto r = m->ReadMilliamps();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_EQ(r.Error().Describe(),
              "timeout (no answer to READ? within 2 s); the meter reports -230,\"Data corrupt or "
              "stale\"");
    // The meter is still there: the next reading comes.
    const auto next = m->ReadMilliamps();
    ASSERT_TRUE(next.Ok()) << next.Error().Describe();
    EXPECT_EQ(Commands(),
              (Strings{"*IDN?", "*CLS", "CONF:CURR:DC 0.1", "READ?", "SYST:ERR?", "READ?"}));
}

TEST_P(EachTransportTest, GarbageAndOverloadAreFailuresThatLeaveTheMeterThere) {
    StartStandIn({Behaviour::kAnswer, Behaviour::kGarbage, Behaviour::kOverload});
    auto m = MeterOn(GetParam());
    ASSERT_TRUE(m->Connect().Ok());
    EXPECT_EQ(m->ReadMilliamps().Error().Describe(), "no number in the answer to READ? (\"ERR\")");
    EXPECT_EQ(m->ReadMilliamps().Error().error, MeterError::kOverload);
    EXPECT_TRUE(m->ReadMilliamps().Ok());
    EXPECT_EQ(Commands(), (Strings{"*IDN?", "*CLS", "CONF:CURR:DC 0.1", "READ?", "SYST:ERR?",
                                   "READ?", "SYST:ERR?", "READ?"}));
}

TEST_P(EachTransportTest, AHangUpIsATransportGoneAndNothingMoreIsAsked) {
    StartStandIn({Behaviour::kAnswer, Behaviour::kHangup});
    auto m = MeterOn(GetParam());
    ASSERT_TRUE(m->Connect().Ok());
    // Told as such, not as a timeout.
    const auto r = m->ReadMilliamps();
    EXPECT_EQ(r.Error().error, MeterError::kGone) << r.Error().Describe();
    EXPECT_FALSE(m->IsConnected());
    EXPECT_EQ(m->ReadMilliamps().Error().error, MeterError::kGone);
    EXPECT_EQ(Commands(), (Strings{"*IDN?", "*CLS", "CONF:CURR:DC 0.1", "READ?"}));
}

TEST_P(EachTransportTest, ACancelFromAnotherThreadEndsTheWait) {
    StartStandIn({Behaviour::kAnswer, Behaviour::kSilent});
    MeterOptions o;
    o.timeoutMs = 600000;
    auto m = MeterOn(GetParam(), o);
    ASSERT_TRUE(m->Connect().Ok());
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m->Cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    const auto r = m->ReadMilliamps();
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_EQ(r.Error().error, MeterError::kCancelled);
    EXPECT_TRUE(m->IsConnected());
    m->ResetCancel();
    EXPECT_TRUE(m->ReadMilliamps().Ok());
    EXPECT_EQ(Commands(), (Strings{"*IDN?", "*CLS", "CONF:CURR:DC 0.1", "READ?", "READ?"}));
}

INSTANTIATE_TEST_SUITE_P(, EachTransportTest,
                         ::testing::Values(Endpoint::kSerial, Endpoint::kTcp, Endpoint::kUsbtmc),
                         [](const auto& info) { return EndpointName(info.param); });

TEST_F(StandInTest, TheSerialLineIsEightNoneOneAtItsRateAndHeldExclusively) {
    StartStandIn();
    auto m = MeterOn(Endpoint::kSerial);
    ASSERT_TRUE(m->Connect().Ok());
    const int fd = ::open(standIn_->PtyPath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(fd, &t), 0);
    ::close(fd);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    auto second = MeterOn(Endpoint::kSerial);
    EXPECT_EQ(second->Connect().Error().Describe(), "cannot connect (in use by another program)");
    m.reset();
    EXPECT_TRUE(second->Connect().Ok());
}

TEST_F(StandInTest, AResetConnectionIsATransportGone) {
    StartStandIn({Behaviour::kAnswer, Behaviour::kReset});
    auto m = MeterOn(Endpoint::kTcp);
    ASSERT_TRUE(m->Connect().Ok());
    EXPECT_EQ(m->ReadMilliamps().Error().Describe(), "meter gone (connection reset)");

    StartStandIn({Behaviour::kAnswer, Behaviour::kHangup});
    m = MeterOn(Endpoint::kTcp);
    ASSERT_TRUE(m->Connect().Ok());
    EXPECT_EQ(m->ReadMilliamps().Error().Describe(), "meter gone (connection closed by the meter)");
}

TEST_F(StandInTest, WhatCannotBeOpenedSaysWhy) {
    // A bound port that does not listen refuses; held, so nobody else takes it.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length), 0);
    Meter refused(CreateTcpTransport("127.0.0.1", ntohs(a.sin_port)));
    EXPECT_EQ(refused.Connect().Error().Describe(), "cannot connect (connection refused)");
    ::close(fd);

    std::ofstream(dir_ + "/file") << "x";
    Meter file(CreateSerialTransport(dir_ + "/file", 9600));
    EXPECT_EQ(file.Connect().Error().Describe(), "cannot connect (not a serial port)");
    Meter usbtmcFile(CreateUsbtmcTransport(dir_ + "/file"));
    EXPECT_EQ(usbtmcFile.Connect().Error().Describe(), "cannot connect (not a device)");
    Meter missing(CreateUsbtmcTransport(dir_ + "/usbtmc9"));
    EXPECT_EQ(missing.Connect().Error().Describe(), "cannot connect (no such device)");
    Meter unknown(CreateTcpTransport("no-such-host.invalid", 5025));
    EXPECT_EQ(unknown.Connect().Error().error, MeterError::kOpen);
}

}  // namespace
}  // namespace meter
