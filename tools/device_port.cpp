#include "tools/device_port.h"

#include "serial/port_factory.h"

namespace tools {
namespace {

class DevicePort final : public serial::ComPort {
public:
    DevicePort(std::string path, std::unique_ptr<serial::ComPort> port)
        : path_(std::move(path)), port_(std::move(port)) {}

    bool Open(const std::string&) override { return port_->Open(path_); }
    void Close() override { port_->Close(); }
    bool IsOpen() const override { return port_->IsOpen(); }
    bool ConfigureLine() override { return port_->ConfigureLine(); }
    bool ReleaseRts() override { return port_->ReleaseRts(); }
    void SetDtr(bool on) override { port_->SetDtr(on); }
    void SetRts(bool on) override { port_->SetRts(on); }
    bool CarrierDetect() override { return port_->CarrierDetect(); }
    size_t QueuedInput() override { return port_->QueuedInput(); }
    long Read(uint8_t* buffer, size_t max) override { return port_->Read(buffer, max); }
    long Write(const uint8_t* data, size_t length) override { return port_->Write(data, length); }
    void Purge(bool input, bool output) override { port_->Purge(input, output); }
    serial::WaitResult WaitForInput() override { return port_->WaitForInput(); }
    void CancelWait() override { port_->CancelWait(); }

private:
    std::string path_;
    std::unique_ptr<serial::ComPort> port_;
};

}  // namespace

std::unique_ptr<serial::ComPort> CreateDevicePort(std::string path) {
    return std::make_unique<DevicePort>(std::move(path), serial::CreateSystemPort());
}

}  // namespace tools
