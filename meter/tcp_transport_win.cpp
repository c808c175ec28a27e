// The TCP meter on Windows: Winsock with an event per socket, waited for
// beside a cancel event, so that a cancel from another thread ends the wait.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which windows.h would otherwise pull in its old form.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

#include "meter/line_buffer.h"
#include "meter/transport_factory.h"
#include "platform/clock.h"

namespace meter {
namespace {

bool WinsockStarted() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::string SocketErrorText(int error) {
    switch (error) {
        case WSAECONNREFUSED:
            return "connection refused";
        case WSAECONNRESET:
        case WSAECONNABORTED:
            return "connection reset";
        case WSAETIMEDOUT:
            return "timed out";
        case WSAEHOSTUNREACH:
            return "host unreachable";
        case WSAENETUNREACH:
        case WSAENETDOWN:
            return "network unreachable";
        default:
            return "socket error " + std::to_string(error);
    }
}

IoResult Gone(std::string why) { return {IoStatus::kGone, std::move(why)}; }

DWORD WaitMs(uint32_t clockMs) {
    const long long us = platform::RealDuration(clockMs).count();
    return static_cast<DWORD>(std::clamp((us + 999) / 1000, 1LL, 0x7FFFFFFFLL));
}

class TcpTransport final : public Transport {
public:
    TcpTransport(std::string host, uint16_t port) : host_(std::move(host)), port_(port) {
        cancelEvent_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~TcpTransport() override {
        Close();
        if (cancelEvent_ != nullptr) ::CloseHandle(cancelEvent_);
    }

    IoResult Open(uint32_t timeoutMs) override {
        Close();
        if (!WinsockStarted() || cancelEvent_ == nullptr) return Gone("no sockets");
        const uint32_t start = platform::Tick();
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_NUMERICSERV;
        addrinfo* found = nullptr;
        const std::string port = std::to_string(port_);
        if (::getaddrinfo(host_.c_str(), port.c_str(), &hints, &found) != 0)
            return Gone("cannot resolve " + host_);
        IoResult result = Gone("no address");
        for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
            result = Connect(*a, start, timeoutMs);
            if (result.status == IoStatus::kOk || result.status == IoStatus::kCancelled) break;
        }
        ::freeaddrinfo(found);
        return result;
    }

    void Close() override {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
        if (socketEvent_ != WSA_INVALID_EVENT) ::WSACloseEvent(socketEvent_);
        socketEvent_ = WSA_INVALID_EVENT;
        lines_.Clear();
    }

    IoResult Send(std::string_view command, uint32_t timeoutMs) override {
        if (socket_ == INVALID_SOCKET) return Gone("not open");
        const std::string line = std::string(command) + '\n';
        const uint32_t start = platform::Tick();
        size_t done = 0;
        while (done < line.size()) {
            const int n =
                ::send(socket_, line.data() + done, static_cast<int>(line.size() - done), 0);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            const int error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK) return Gone(SocketErrorText(error));
            long events = 0;
            const IoResult r = Wait(start, timeoutMs, &events);
            if (r.status != IoStatus::kOk) return r;
            if (events & FD_CLOSE) return Gone("connection closed by the meter");
        }
        return {};
    }

    IoResult Receive(uint32_t timeoutMs) override {
        if (socket_ == INVALID_SOCKET) return Gone("not open");
        const uint32_t start = platform::Tick();
        for (;;) {
            IoResult r;
            if (lines_.TakeLine(&r.text)) return r;
            r = Fill();
            if (r.status != IoStatus::kOk) return r;
            if (lines_.TakeLine(&r.text)) return r;
            long events = 0;
            r = Wait(start, timeoutMs, &events);
            if (r.status != IoStatus::kOk) return r;
        }
    }

    void DiscardInput() override {
        if (socket_ != INVALID_SOCKET) (void)Fill();
        lines_.Clear();
    }

    void Cancel() override {
        cancelled_ = true;
        if (cancelEvent_ != nullptr) ::SetEvent(cancelEvent_);
    }
    void ResetCancel() override {
        cancelled_ = false;
        if (cancelEvent_ != nullptr) ::ResetEvent(cancelEvent_);
    }

private:
    IoResult Connect(const addrinfo& a, uint32_t start, uint32_t timeoutMs) {
        socket_ = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
        socketEvent_ = ::WSACreateEvent();
        if (socket_ == INVALID_SOCKET || socketEvent_ == WSA_INVALID_EVENT) {
            const int error = ::WSAGetLastError();
            Close();
            return Gone(SocketErrorText(error));
        }
        // Also makes the socket non-blocking.
        ::WSAEventSelect(socket_, socketEvent_, FD_CONNECT | FD_READ | FD_WRITE | FD_CLOSE);
        if (::connect(socket_, a.ai_addr, static_cast<int>(a.ai_addrlen)) != 0) {
            const int error = ::WSAGetLastError();
            if (error != WSAEWOULDBLOCK) {
                Close();
                return Gone(SocketErrorText(error));
            }
            for (;;) {
                long events = 0;
                int connectError = 0;
                const IoResult r = Wait(start, timeoutMs, &events, &connectError);
                if (r.status != IoStatus::kOk) {
                    Close();
                    return r.status == IoStatus::kTimeout
                               ? IoResult{IoStatus::kTimeout, "no connection"}
                               : r;
                }
                if (!(events & FD_CONNECT)) continue;
                if (connectError != 0) {
                    Close();
                    return Gone(SocketErrorText(connectError));
                }
                break;
            }
        }
        const BOOL on = TRUE;
        ::setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                     sizeof(on));
        return {};
    }

    // Until a network event, the cancel event or the time since start.
    IoResult Wait(uint32_t start, uint32_t timeoutMs, long* events, int* connectError = nullptr) {
        for (;;) {
            if (cancelled_) return {IoStatus::kCancelled, "cancelled"};
            const uint32_t elapsed = platform::Tick() - start;
            if (elapsed >= timeoutMs) return {IoStatus::kTimeout, "no answer"};
            HANDLE handles[2] = {socketEvent_, cancelEvent_};
            const DWORD w =
                ::WaitForMultipleObjects(2, handles, FALSE, WaitMs(timeoutMs - elapsed));
            if (w == WAIT_OBJECT_0) {
                WSANETWORKEVENTS happened{};
                if (::WSAEnumNetworkEvents(socket_, socketEvent_, &happened) != 0)
                    return Gone(SocketErrorText(::WSAGetLastError()));
                *events = happened.lNetworkEvents;
                if (connectError != nullptr && (happened.lNetworkEvents & FD_CONNECT))
                    *connectError = happened.iErrorCode[FD_CONNECT_BIT];
                return {};
            }
            if (w == WAIT_OBJECT_0 + 1) {
                if (cancelled_) return {IoStatus::kCancelled, "cancelled"};
                // Left set by a cancel that ResetCancel took back.
                ::ResetEvent(cancelEvent_);
                continue;
            }
            if (w != WAIT_TIMEOUT) return Gone("wait failed");
        }
    }

    // Reads everything queued; kGone at the end of the stream.
    IoResult Fill() {
        char buffer[512];
        for (;;) {
            const int n = ::recv(socket_, buffer, sizeof(buffer), 0);
            if (n > 0) {
                lines_.Append(buffer, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) return Gone("connection closed by the meter");
            const int error = ::WSAGetLastError();
            if (error == WSAEWOULDBLOCK) return {};
            return Gone(SocketErrorText(error));
        }
    }

    std::string host_;
    uint16_t port_;
    SOCKET socket_ = INVALID_SOCKET;
    WSAEVENT socketEvent_ = WSA_INVALID_EVENT;
    HANDLE cancelEvent_ = nullptr;
    std::atomic<bool> cancelled_{false};
    LineBuffer lines_;
};

}  // namespace

std::unique_ptr<Transport> CreateTcpTransport(const std::string& host, uint16_t port) {
    return std::make_unique<TcpTransport>(host, port);
}

}  // namespace meter
