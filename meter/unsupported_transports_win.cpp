// The serial and USBTMC meters on Windows: not there yet. Their transports
// fail to open with a reason, so that a target naming them is reported as any
// other meter that cannot be reached.
#include "meter/transport_factory.h"

namespace meter {
namespace {

class UnsupportedTransport final : public Transport {
public:
    explicit UnsupportedTransport(std::string what) : what_(std::move(what)) {}

    IoResult Open(uint32_t) override {
        return {IoStatus::kGone, what_ + " meters are not supported on this platform"};
    }
    void Close() override {}
    IoResult Send(std::string_view, uint32_t) override { return {IoStatus::kGone, "not open"}; }
    IoResult Receive(uint32_t) override { return {IoStatus::kGone, "not open"}; }
    void DiscardInput() override {}
    void Cancel() override {}
    void ResetCancel() override {}

private:
    std::string what_;
};

}  // namespace

std::unique_ptr<Transport> CreateSerialTransport(const std::string&, int) {
    return std::make_unique<UnsupportedTransport>("serial");
}

std::unique_ptr<Transport> CreateUsbtmcTransport(const std::string&) {
    return std::make_unique<UnsupportedTransport>("USBTMC");
}

}  // namespace meter
