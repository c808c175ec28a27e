// A transport that answers from a script, for the meter's own logic: each
// query takes the next scripted reply; commands without an answer take
// nothing. Records what was sent.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "meter/transport.h"

namespace meter {

struct FakeLine {
    std::deque<IoResult> replies;  // to queries, in order; then `otherwise`
    IoResult otherwise{IoStatus::kTimeout, "no answer"};
    std::vector<std::string> sent;
    int opens = 0;
    bool cancelled = false;
    std::mutex mutex;
};

class FakeTransport final : public Transport {
public:
    explicit FakeTransport(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}

    IoResult Open(uint32_t) override {
        std::lock_guard lock(line_->mutex);
        ++line_->opens;
        return {};
    }
    void Close() override {}
    IoResult Send(std::string_view command, uint32_t) override {
        std::lock_guard lock(line_->mutex);
        if (line_->cancelled) return {IoStatus::kCancelled, "cancelled"};
        line_->sent.emplace_back(command);
        return {};
    }
    IoResult Receive(uint32_t) override {
        std::lock_guard lock(line_->mutex);
        if (line_->cancelled) return {IoStatus::kCancelled, "cancelled"};
        if (line_->replies.empty()) return line_->otherwise;
        IoResult r = line_->replies.front();
        line_->replies.pop_front();
        return r;
    }
    void DiscardInput() override {}
    void Cancel() override {
        std::lock_guard lock(line_->mutex);
        line_->cancelled = true;
    }
    void ResetCancel() override {
        std::lock_guard lock(line_->mutex);
        line_->cancelled = false;
    }

private:
    std::shared_ptr<FakeLine> line_;
};

inline IoResult Answer(std::string text) { return {IoStatus::kOk, std::move(text)}; }
inline IoResult Silence() { return {IoStatus::kTimeout, "no answer"}; }

}  // namespace meter
