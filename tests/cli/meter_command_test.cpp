// The meter command in-process, on the simulated meter: its command line
// and what it prints.
#include "cli/meter_command.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/hart_cli.h"
#include "platform/clock.h"

namespace cli {
namespace {

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun Tool(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = RunHartCli(args, out, err);
    return {status, out.str(), err.str()};
}

int Lines(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

TEST(MeterCommandTest, UsageErrorsExitWithTwoAndOneLine) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"meter"},
             {"meter", "identify"},
             {"meter", "--simulate"},
             {"meter", "--simulate", "--meter", "sim", "identify"},
             {"meter", "--meter", "sim", "--meter", "sim", "read"},
             {"meter", "--meter"},
             {"meter", "--meter", "gpib:22", "identify"},
             {"meter", "--meter", "tcp:host:0", "read"},
             {"meter", "--simulate", "calibrate"},
             {"meter", "--simulate", "identify", "now"},
             {"meter", "--simulate", "identify", "--count", "2"},
             {"meter", "--simulate", "identify", "--stable"},
             {"meter", "--simulate", "read", "--count", "0"},
             {"meter", "--simulate", "read", "--count", "x"},
             {"meter", "--simulate", "read", "--count", "2", "--count", "3"},
             {"meter", "--simulate", "read", "--count", "2", "--stable"},
             {"meter", "--simulate", "read", "--csv"},
             {"meter", "--port", "3", "--simulate", "read"},
             {"--device", "/dev/ttyS0", "meter", "--simulate", "read"},
         }) {
        const ToolRun r = Tool(args);
        std::string line;
        for (const auto& a : args) line += a + " ";
        EXPECT_EQ(r.status, kExitUsage) << line;
        EXPECT_EQ(Lines(r.err), 1) << line << r.err;
        EXPECT_EQ(r.err.rfind("tarvok-hart: ", 0), 0u) << line << r.err;
        EXPECT_TRUE(r.out.empty()) << line;
    }
    EXPECT_NE(Tool({"meter", "--meter", "tcp:fe80::1", "read"}).err.find("brackets"),
              std::string::npos);
}

TEST(MeterCommandTest, HelpAndWhereTheCommandIsFound) {
    const ToolRun help = Tool({"meter", "--help"});
    EXPECT_EQ(help.status, kExitOk);
    EXPECT_NE(help.out.find("usbtmc:PATH"), std::string::npos);
    EXPECT_NE(Tool({"--help"}).out.find("meter --meter TARGET"), std::string::npos);

    EXPECT_TRUE(NamesMeterCommand({"--meter", "tcp:dmm", "meter", "read"}));
    EXPECT_TRUE(NamesMeterCommand({"--trace", "meter", "--simulate", "identify"}));
    // The value of an option is no command, even when it reads "meter".
    EXPECT_FALSE(NamesMeterCommand({"--device", "meter", "poll"}));
    EXPECT_FALSE(NamesMeterCommand({"--simulate", "poll"}));
    EXPECT_FALSE(NamesMeterCommand({"--simulate", "identify", "meter"}));
}

TEST(MeterCommandTest, TheSimulatedMeterIdentifiesAndReads) {
    platform::SetTimeScale(10.0);
    const ToolRun id = Tool({"meter", "--simulate", "identify"});
    EXPECT_EQ(id.status, kExitOk) << id.err;
    EXPECT_EQ(id.out, "Tarvok Simulation,SM-100,SIM000001,1.0\n");

    const ToolRun reads = Tool({"--meter", "sim:12.5", "meter", "read", "--count", "3"});
    EXPECT_EQ(reads.status, kExitOk) << reads.err;
    std::istringstream lines(reads.out);
    int n = 0;
    for (std::string line; std::getline(lines, line); ++n) {
        EXPECT_EQ(line.size(), 7u) << line;  // 12.5xxx: four decimals
        EXPECT_NEAR(std::stod(line), 12.5, 0.002);
    }
    EXPECT_EQ(n, 3);

    const ToolRun stable = Tool({"meter", "--simulate", "read", "--stable"});
    EXPECT_EQ(stable.status, kExitOk) << stable.err;
    EXPECT_NEAR(std::stod(stable.out), 4.0, 0.0005);
    platform::SetTimeScale(1.0);
}

}  // namespace
}  // namespace cli
