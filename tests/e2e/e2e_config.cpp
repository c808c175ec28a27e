#include "e2e_config.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>

namespace e2e {
namespace {

E2eConfig g_config;

}  // namespace

std::string E2eConfig::PortLink(const std::string& portsDir, int n) const {
    if (UnderWine()) return winePrefix + "/dosdevices/com" + std::to_string(n);
    return portsDir + "/COM" + std::to_string(n);
}

std::vector<std::string> E2eConfig::Command(const std::vector<std::string>& args) const {
    std::vector<std::string> argv;
    if (UnderWine()) argv.push_back(wine);
    argv.push_back(program);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

EnvironmentChanges E2eConfig::Environment(const std::string& portsDir,
                                          const std::string& shimLog) const {
    EnvironmentChanges env = {"TARVOK_PORTS_DIR=" + portsDir, "TARVOK_MODEM_SHIM_LOG=" + shimLog,
                              "LD_PRELOAD=" + shim, "TARVOK_TRACE="};
    // A sanitized build must tolerate a preloaded library ahead of its runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                  ":verify_asan_link_order=0");
    if (UnderWine()) env.push_back("WINEPREFIX=" + winePrefix);
    return env;
}

const E2eConfig& Config() { return g_config; }

bool ParseConfig(int* argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            const size_t n = std::strlen(name);
            return a.compare(0, n, name) == 0 ? argv[i] + n : nullptr;
        };
        if (const char* v = value("--program=")) {
            g_config.program = v;
        } else if (const char* v = value("--wine=")) {
            g_config.wine = v;
        } else if (const char* v = value("--shim=")) {
            g_config.shim = v;
        } else if (const char* v = value("--fixture=")) {
            g_config.fixture = v;
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    // Listing the tests needs none of it.
    if (::testing::GTEST_FLAG(list_tests)) return true;
    for (const std::string* path : {&g_config.program, &g_config.shim}) {
        if (path->empty() || !std::filesystem::exists(*path)) {
            std::fprintf(stderr, "e2e: --program and --shim must name files (got '%s')\n",
                         path->c_str());
            return false;
        }
    }
    if (!g_config.fixture.empty() && !std::filesystem::exists(g_config.fixture)) {
        std::fprintf(stderr, "e2e: no fixture program %s\n", g_config.fixture.c_str());
        return false;
    }
    if (g_config.UnderWine()) {
        const ProcessResult r = RunProcess({g_config.wine, "--prefix"}, {}, 10000);
        g_config.winePrefix = r.out.substr(0, r.out.find('\n'));
        if (r.status != 0 || g_config.winePrefix.empty()) {
            std::fprintf(stderr, "e2e: %s --prefix failed: %s\n", g_config.wine.c_str(),
                         r.err.c_str());
            return false;
        }
        // The prefix and its dosdevices appear on the first run.
        const ProcessResult warm = RunProcess({g_config.wine, "cmd.exe", "/c", "exit"}, {}, 120000);
        if (warm.status != 0 ||
            !std::filesystem::is_directory(g_config.winePrefix + "/dosdevices")) {
            std::fprintf(stderr, "e2e: wine does not start in %s: %s\n",
                         g_config.winePrefix.c_str(), warm.err.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace e2e
