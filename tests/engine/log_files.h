// Log files for the readings log's tests: one whose writes do not return
// until let go (a share gone quiet), one that fills up part way through a
// write. Both keep their bytes in memory.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/append_file.h"

namespace test {

// Every Append waits until the gate is opened.
class StuckFile : public platform::AppendFile {
public:
    struct Gate {
        std::mutex mutex;
        std::condition_variable cv;
        bool open = false;
        int appends = 0;  // begun
        bool destroyed = false;
        void Release() {
            std::lock_guard lock(mutex);
            open = true;
            cv.notify_all();
        }
        bool WaitFor(const std::function<bool()>& ok) {
            std::unique_lock lock(mutex);
            return cv.wait_for(lock, std::chrono::seconds(20), ok);
        }
    };
    explicit StuckFile(std::shared_ptr<Gate> gate) : m_gate(std::move(gate)) {}
    ~StuckFile() override {
        std::lock_guard lock(m_gate->mutex);
        m_gate->destroyed = true;
        m_gate->cv.notify_all();
    }
    bool Size(uint64_t* size, std::string*) override {
        *size = m_data.size();
        return true;
    }
    bool ReadByte(uint64_t offset, char* byte, std::string*) override {
        *byte = m_data.at(offset);
        return true;
    }
    size_t Append(std::string_view data, std::string*) override {
        std::unique_lock lock(m_gate->mutex);
        ++m_gate->appends;
        m_gate->cv.notify_all();
        m_gate->cv.wait(lock, [this] { return m_gate->open; });
        m_data += data;
        return data.size();
    }
    bool Truncate(uint64_t, std::string*) override { return false; }

private:
    std::shared_ptr<Gate> m_gate;
    std::string m_data;
};

// Room for so many bytes; a write past them stops there with ENOSPC's
// text, `intruder` appended behind it as if by another writer.
class FillingFile : public platform::AppendFile {
public:
    FillingFile(std::string* data, size_t room, std::string intruder = {})
        : m_data(*data), m_room(room), m_intruder(std::move(intruder)) {}
    bool Size(uint64_t* size, std::string*) override {
        *size = m_data.size();
        return true;
    }
    bool ReadByte(uint64_t offset, char* byte, std::string*) override {
        *byte = m_data.at(offset);
        return true;
    }
    size_t Append(std::string_view data, std::string* error) override {
        const size_t n = std::min(data.size(), m_room - std::min(m_room, m_data.size()));
        m_data.append(data.substr(0, n));
        if (n == data.size()) return n;
        m_data += m_intruder;
        *error = "No space left on device";
        return n;
    }
    bool Truncate(uint64_t size, std::string*) override {
        m_data.resize(size);
        return true;
    }

private:
    std::string& m_data;
    const size_t m_room;
    const std::string m_intruder;
};

}  // namespace test
