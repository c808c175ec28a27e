#include "meter/transport_factory.h"

namespace meter {

std::unique_ptr<Transport> CreateSystemTransport(const MeterTarget& target) {
    switch (target.kind) {
        case MeterKind::kSerial:
            return CreateSerialTransport(target.path, target.baud);
        case MeterKind::kTcp:
            return CreateTcpTransport(target.host, target.port);
        case MeterKind::kUsbtmc:
            return CreateUsbtmcTransport(target.path);
        case MeterKind::kSimulated:
            break;
    }
    return nullptr;
}

}  // namespace meter
