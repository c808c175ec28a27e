#include "hart/failure.h"

#include <cstdio>

namespace hart {

const char* ReasonText(Reason reason) {
    switch (reason) {
        case Reason::kNone:
            return "ok";
        case Reason::kNoReply:
            return "no reply";
        case Reason::kIncompleteReply:
            return "incomplete reply";
        case Reason::kBadChecksum:
            return "bad checksum";
        case Reason::kCommError:
            return "communication error";
        case Reason::kRejected:
            return "rejected";
        case Reason::kPortGone:
            return "port gone";
        case Reason::kInterrupted:
            return "interrupted";
        case Reason::kNoChannel:
            return "no active channel";
        case Reason::kBadArgument:
            return "bad argument";
        case Reason::kValueNotAvailable:
            return "value not available";
        case Reason::kImplausibleValue:
            return "implausible value";
    }
    return "?";
}

std::string Failure::Describe() const {
    char text[64];
    switch (reason) {
        case Reason::kCommError:
            std::snprintf(text, sizeof(text), "%s (status 0x%02X)", ReasonText(reason), status);
            return text;
        case Reason::kRejected:
            std::snprintf(text, sizeof(text), "%s (response code %u)", ReasonText(reason),
                          responseCode);
            return text;
        default:
            return ReasonText(reason);
    }
}

}  // namespace hart
