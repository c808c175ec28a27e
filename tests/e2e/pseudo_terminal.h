// A pseudo-terminal whose slave side stands in for a serial port: the
// program under test opens the slave through a link (a ports directory entry
// COMn, or a Wine prefix's dosdevices/comn), the test plays the far end on
// the master. Linux only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

class PseudoTerminal {
public:
    PseudoTerminal() = default;
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    // Creates the pair and links `linkPath` (replacing whatever was there)
    // to the slave. The slave starts raw: no echo, no line editing, no
    // output processing, like a wire. Empty linkPath: no link.
    bool Create(const std::string& linkPath, std::string* error);
    // Closes the master: whoever holds the slave sees the port vanish.
    void Hangup();
    // Hangs up and removes the link.
    void Destroy();

    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

    // Far end helpers for tests. Receive reads until `count` bytes came or
    // the time is up.
    bool Send(const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> Receive(size_t count, int timeoutMs);
    // Everything that arrives within the time, however much.
    std::vector<uint8_t> Drain(int quietMs);

private:
    int master_ = -1;
    // Held open so that the master never reads a hang-up while the program
    // under test has the port closed.
    int slave_ = -1;
    std::string slavePath_;
    std::string linkPath_;
};

}  // namespace e2e
