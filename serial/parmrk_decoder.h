// Undoes the escapes a termios line discipline inserts with PARMRK set and
// IGNPAR clear: "\377\377" is a received 0xFF, "\377\0 c" is a character c
// received with a parity or framing error (or a break, c = 0). Errored
// characters become 'F', as the Windows driver's error character does.
// HART preambles are runs of 0xFF, so the decoding must be exact, and an
// escape may be split across reads: the state survives between calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace serial {

class ParmrkDecoder {
public:
    static constexpr uint8_t kErrorChar = 'F';

    // Decodes length raw bytes into out, which must hold length + 1 bytes,
    // and returns the count written. Bytes of an unfinished escape are held
    // back until the rest arrives.
    size_t Decode(const uint8_t* in, size_t length, uint8_t* out) {
        size_t n = 0;
        for (size_t i = 0; i < length; ++i) {
            const uint8_t c = in[i];
            switch (state_) {
                case State::kPlain:
                    if (c == 0xFF)
                        state_ = State::kMark;
                    else
                        out[n++] = c;
                    break;
                case State::kMark:
                    if (c == 0xFF) {
                        out[n++] = 0xFF;
                        state_ = State::kPlain;
                    } else if (c == 0x00) {
                        state_ = State::kMarkZero;
                    } else {
                        // Not an escape the line discipline makes; keep both
                        // bytes rather than lose one. This is the one case
                        // that writes more bytes than it consumed.
                        out[n++] = 0xFF;
                        out[n++] = c;
                        state_ = State::kPlain;
                    }
                    break;
                case State::kMarkZero:
                    out[n++] = kErrorChar;
                    state_ = State::kPlain;
                    break;
            }
        }
        return n;
    }

    // True while the last bytes seen are the start of an escape.
    bool Pending() const { return state_ != State::kPlain; }
    void Reset() { state_ = State::kPlain; }

private:
    enum class State { kPlain, kMark, kMarkZero };
    State state_ = State::kPlain;
};

}  // namespace serial
