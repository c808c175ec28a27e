// tarvok-hart meter as a real process against the stand-in meter: on a
// pseudo-terminal (serial), a TCP port of 127.0.0.1 and a pseudo-terminal
// passing for a USBTMC device. The Windows build, run under Wine, has the
// TCP meter only: there every test takes that one.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "e2e_config.h"
#include "meter_standin.h"
#include "subprocess.h"

namespace e2e {
namespace {

using standin::Behaviour;

class MeterToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvok-meter-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        standIn_.reset();
        std::filesystem::remove_all(dir_);
    }

    void StartStandIn(standin::StandInOptions o) {
        standIn_ = std::make_unique<standin::MeterStandIn>(std::move(o));
        std::string error;
        ASSERT_TRUE(standIn_->AddPty(dir_ + "/ttyMeter", &error)) << error;
        ASSERT_TRUE(standIn_->AddUsbtmc(dir_ + "/usbtmc0", &error)) << error;
        ASSERT_TRUE(standIn_->AddTcp(&port_, &error)) << error;
        ASSERT_TRUE(standIn_->Start(&error)) << error;
    }
    std::string Tcp() const { return "tcp:127.0.0.1:" + std::to_string(port_); }
    std::string Serial() const {
        return Config().UnderWine() ? Tcp() : "serial:" + dir_ + "/ttyMeter";
    }
    std::string Usbtmc() const {
        return Config().UnderWine() ? Tcp() : "usbtmc:" + dir_ + "/usbtmc0";
    }

    ProcessResult Tool(const std::vector<std::string>& args) {
        EnvironmentChanges env = {"TARVOK_TRACE="};
        if (Config().UnderWine()) env.push_back("WINEPREFIX=" + Config().winePrefix);
        ProcessResult r = RunProcess(Config().Command(args), env, 60000);
        EXPECT_FALSE(r.timedOut) << "the tool hung";
        // A Windows console program ends its lines with CR LF.
        std::erase(r.out, '\r');
        std::erase(r.err, '\r');
        return r;
    }
    long Reads() const {
        const auto c = standIn_->Commands();
        return std::count(c.begin(), c.end(), "READ?");
    }

    std::string dir_;
    uint16_t port_ = 0;
    std::unique_ptr<standin::MeterStandIn> standIn_;
};

TEST_F(MeterToolTest, IdentifyPrintsTheAnswerOverEachTransport) {
    standin::StandInOptions o;
    o.identity = "Standin Labs,SL-2,A17,3.04";
    StartStandIn(o);
    for (const std::string& target : {Serial(), Tcp(), Usbtmc()}) {
        const ProcessResult r = Tool({"meter", "--meter", target, "identify"});
        EXPECT_EQ(r.status, 0) << target << ": " << r.err;
        EXPECT_EQ(r.out, "Standin Labs,SL-2,A17,3.04\n") << target;
        EXPECT_EQ(r.err, "") << target;
    }
    EXPECT_EQ(standIn_->Commands(), (std::vector<std::string>(3, "*IDN?")));
}

TEST_F(MeterToolTest, ReadPrintsReadingsInMilliampsToFourDecimals) {
    standin::StandInOptions o;
    o.currentMa = 4.02134;
    StartStandIn(o);
    const ProcessResult r = Tool({"meter", "--meter", Usbtmc(), "read", "--count", "3"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "4.0213\n4.0213\n4.0213\n");
}

// The first six readings drift down from 50 uA above: the stable value is
// taken from the five after them, two seconds after the start at the
// earliest.
TEST_F(MeterToolTest, ReadStableWaitsOutTheDriftAndTheTwoSeconds) {
    standin::StandInOptions o;
    o.currentMa = 4.0213;
    o.driftMa = 0.05;
    o.settleReadings = 6;
    o.noiseMa = 0.0002;
    StartStandIn(o);
    const ProcessResult r = Tool({"meter", "--meter", Serial(), "read", "--stable"});
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.size(), 7u) << r.out;  // "4.021x\n"
    EXPECT_NEAR(std::stod(r.out), 4.0213, 0.0003) << r.out;
    EXPECT_GE(r.ms, 2000.0);
    EXPECT_GE(Reads(), 11);

    // Without the drift it is taken as soon as the 2 s are past.
    standIn_.reset();
    o.driftMa = 0.0;
    StartStandIn(o);
    const ProcessResult flat = Tool({"meter", "--meter", Tcp(), "read", "--stable"});
    EXPECT_EQ(flat.status, 0) << flat.err;
    EXPECT_NEAR(std::stod(flat.out), 4.0213, 0.0003);
    EXPECT_GE(flat.ms, 2000.0);
}

TEST_F(MeterToolTest, SilenceFailsWithTheReasonAndTheMetersError) {
    standin::StandInOptions o;
    o.script = {Behaviour::kAnswer, Behaviour::kError};
    StartStandIn(o);
    const ProcessResult r = Tool({"meter", "--meter", Tcp(), "read"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "tarvok-hart: meter read failed: timeout (no answer to READ? within 2 s); the meter "
              "reports -230,\"Data corrupt or stale\"\n");
    const auto commands = standIn_->Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "SYST:ERR?"), 1);
}

TEST_F(MeterToolTest, AMeterThatGoesOrIsNotThereFailsWithOneLine) {
    standin::StandInOptions o;
    o.script = {Behaviour::kAnswer, Behaviour::kHangup};
    StartStandIn(o);
    ProcessResult r = Tool({"meter", "--meter", Serial(), "read", "--stable"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("tarvok-hart: meter read failed: meter gone (", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

    // A bound port that does not listen refuses.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length), 0);
    const std::string target = "tcp:127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    r = Tool({"meter", "--meter", target, "identify"});
    ::close(fd);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tarvok-hart: meter identification failed: cannot connect to " + target +
                         " (connection refused)\n");

    r = Tool({"meter", "--meter", "serial:", "identify"});
    EXPECT_EQ(r.status, 2);
    if (Config().UnderWine()) {
        r = Tool({"meter", "--meter", "serial:COM3", "identify"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "tarvok-hart: meter identification failed: cannot connect to serial:COM3:9600 "
                  "(serial meters are not supported on this platform)\n");
    }
}

// The stand-in as a program, as a person would start it beside the tool.
TEST_F(MeterToolTest, TheStandInProgramServesTheTool) {
    const std::string portFile = dir_ + "/port";
    Child standIn;
    ASSERT_TRUE(standIn.Start({TARVOK_METER_STANDIN, "--tcp", "--port-file", portFile, "--current",
                               "16.5", "--usbtmc", dir_ + "/usbtmc1"},
                              {}));
    const auto ready = standIn.ReadLine(10000);
    ASSERT_TRUE(ready.has_value());
    const size_t at = ready->find(" tcp=");
    ASSERT_EQ(ready->rfind("# ready", 0), 0u) << *ready;
    ASSERT_NE(at, std::string::npos) << *ready;
    const std::string port = ready->substr(at + 5);
    std::string written;
    std::ifstream(portFile) >> written;
    EXPECT_EQ(written, port);

    ProcessResult r = Tool({"meter", "--meter", "tcp:127.0.0.1:" + port, "read"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "16.5000\n");
    if (!Config().UnderWine()) {
        r = Tool({"meter", "--meter", "usbtmc:" + dir_ + "/usbtmc1", "identify"});
        EXPECT_EQ(r.out, "Standin Labs,SL-1,0001,1.0\n");
    }
    // Its log: one line per command heard.
    const auto heard = standIn.ReadLine(5000);
    ASSERT_TRUE(heard.has_value());
    EXPECT_NE(heard->find(" tcp *IDN?"), std::string::npos) << *heard;

    standIn.Signal(SIGTERM);
    EXPECT_EQ(standIn.Finish(10000), 0);
}

}  // namespace
}  // namespace e2e
