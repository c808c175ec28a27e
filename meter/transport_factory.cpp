#include "meter/transport_factory.h"

namespace meter {

std::unique_ptr<Transport> CreateSystemTransport(const MeterSpec& spec) {
    switch (spec.kind) {
        case MeterKind::kSerial:
            return CreateSerialTransport(spec.path, spec.baud);
        case MeterKind::kTcp:
            return CreateTcpTransport(spec.host, spec.port);
        case MeterKind::kUsbtmc:
            return CreateUsbtmcTransport(spec.path);
        case MeterKind::kSimulated:
            break;
    }
    return nullptr;
}

}  // namespace meter
