#include "serial/serial_link.h"

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/auto_reset_event.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "serial/com_port.h"
#include "serial/notifier.h"
#include "serial/port_factory.h"
#include "serial/receive_sink.h"

namespace serial {
namespace {

// One record per open port. The receive thread only ever touches the record
// it was started with; ClosePort joins it before the record goes.
struct CSerialLink {
    int number = 0;
    std::unique_ptr<ComPort> port;
    std::atomic<int> running{0};
    std::thread receiveThread;
};

constinit std::atomic<ReceiveSink*> g_sink{nullptr};
constinit std::atomic<Notifier*> g_notifier{nullptr};
constinit std::atomic<int> g_currentPort{0};

// Guarded by LinkMutex().
std::unique_ptr<CSerialLink> g_link;

// "A character has arrived": set by the receive thread, consumed by the
// first-character wait of WriteRequest.
platform::AutoResetEvent& ReadEvent() {
    static platform::AutoResetEvent event;
    return event;
}

void Show(std::string text) {
    platform::Trace(text + "\n");
    if (Notifier* n = g_notifier.load()) n->Notify(Notice{std::move(text), "", NoticeIcon::kNone});
}

int CreateLinkRecord() {
    auto* link = new (std::nothrow) CSerialLink;
    if (link == nullptr) return -1;
    g_link.reset(link);
    return 1;
}

int ConfigureLine(ComPort& port) { return port.ConfigureLine() ? 1 : 0; }

// Takes only what is queued, at most `maximum` bytes, never waits for more.
long ReadAvailable(ComPort& port, uint8_t* buffer, size_t maximum) {
    const size_t queued = port.QueuedInput();
    const size_t n = queued < maximum ? queued : maximum;
    if (n == 0) return 0;
    const long got = port.Read(buffer, n);
    return got < 0 ? 0 : got;
}

void ReceiveThreadProc(CSerialLink* link) {
    ComPort& port = *link->port;
    uint8_t chunk[50];
    while (link->running.load() == 1) {
        const WaitResult r = port.WaitForInput();
        if (r == WaitResult::kCancelled) continue;
        if (r == WaitResult::kVanished) {
            // Nothing more will come; transactions now fail on their write.
            // The port is no longer open: transactions fail at once and
            // choosing the same port again really reopens it.
            platform::Trace("receive: port vanished\n");
            int expected = link->number;
            g_currentPort.compare_exchange_strong(expected, 0);
            break;
        }
        ReadEvent().Set();
        ReceiveSink* sink = g_sink.load();
        for (;;) {
            const long n = ReadAvailable(port, chunk, sizeof(chunk));
            if (n <= 0) break;
            if (sink == nullptr || !sink->IsReceiveEnabled()) break;  // chunk discarded
            sink->FeedReceived(chunk, static_cast<size_t>(n));
            if (sink->IsFrameComplete()) break;
        }
    }
}

ComPort* OpenLinkPort() { return g_link && g_link->port ? g_link->port.get() : nullptr; }

}  // namespace

void SetReceiveSink(ReceiveSink* sink) { g_sink.store(sink); }
void SetNotifier(Notifier* notifier) { g_notifier.store(notifier); }

std::recursive_mutex& LinkMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

int OpenPort(int port) {
    std::lock_guard lock(LinkMutex());
    if (port == g_currentPort.load()) return 1;
    g_currentPort.store(0);
    const std::string name = PortName(port);
    const std::string device = PortDevicePath(port);
    ClosePort();
    if (CreateLinkRecord() != 1) {
        Show("打开串口失败");
        return 0;
    }
    if (ReceiveSink* sink = g_sink.load()) sink->ResetLinkState();

    std::unique_ptr<ComPort> com = CreatePort();
    if (!com || device.empty() || !com->Open(device)) {
        platform::Trace("open " + name + " (" + device + ") failed\n");
        Show("创建" + name + "失败");
        return 0;
    }
    g_link->port = std::move(com);
    g_link->number = port;
    ComPort& p = *g_link->port;

    const int r = ConfigureLine(p);
    if (r == 0) {
        g_link->running.store(0);
        p.Close();
        return 0;
    }
    g_link->running.store(1);
    ReadEvent().Reset();
    try {
        g_link->receiveThread = std::thread(ReceiveThreadProc, g_link.get());
    } catch (const std::system_error&) {
        g_link->running.store(0);
        p.Close();
        return 0;
    }
    p.SetDtr(false);
    p.ReleaseRts();
    p.SetDtr(false);
    g_currentPort.store(port);
    return r;
}

int ClosePort() {
    std::lock_guard lock(LinkMutex());
    if (!g_link) return 0;
    CSerialLink& link = *g_link;
    link.running.store(0);
    if (link.port) link.port->CancelWait();
    if (link.receiveThread.joinable()) link.receiveThread.join();
    if (link.port) {
        link.port->SetDtr(false);
        link.port->Purge(true, true);
        link.port->Close();
    }
    g_link.reset();
    // A closed port is not open, whoever closed it.
    g_currentPort.store(0);
    return 1;
}

bool IsPortOpen() { return g_currentPort.load() != 0; }
int CurrentPort() { return g_currentPort.load(); }

void SetDtr(bool on) {
    std::lock_guard lock(LinkMutex());
    if (ComPort* p = OpenLinkPort()) p->SetDtr(on);
}

void SetRts(bool on) {
    std::lock_guard lock(LinkMutex());
    if (ComPort* p = OpenLinkPort()) p->SetRts(on);
}

int WriteRequest(const uint8_t* frame, size_t length) {
    std::lock_guard lock(LinkMutex());
    ComPort* port = OpenLinkPort();
    ReceiveSink* sink = g_sink.load();
    if (port == nullptr || sink == nullptr) return 0;

    // Bus-quiet wait: the line must have been free of carrier for
    // busQuietTime, counted from now or from the last carrier seen. The
    // carrier is polled about once a millisecond, not in a tight loop.
    const uint32_t began = platform::Tick();
    uint32_t start = began;
    for (;;) {
        const uint32_t now = platform::Tick();
        if (port->CarrierDetect()) {
            start = now;
            sink->SetBusQuietTime(310);
            if (now - began >= kMaxQuietWaitMs) {
                platform::Trace("carrier never dropped\n");
                return 0;
            }
        } else if (now - start >= sink->BusQuietTime()) {
            break;
        }
        platform::Sleep(1);
    }

    port->Purge(false, true);
    const bool keyed = sink->IsRtsKeying();
    if (keyed) port->SetRts(true);
    sink->DisableReceive();
    // Characters of an earlier reply must not pass for the first character
    // of this one; an echo of this transmission still counts.
    ReadEvent().Reset();
    platform::TraceHex("TX:", frame, length);
    // The hold counts from the start of the write: the time the driver took
    // to accept the bytes is part of their transmission.
    start = platform::Tick();
    const long written = port->Write(frame, length);
    if (written < 0) {
        // A write refused at once must not leave the modem keyed.
        if (keyed) port->SetRts(false);
        return 0;
    }

    // Hold until every character written and one more have left the line.
    // The bytes the driver took count even when the write completed at
    // once; a hold that the write itself used up sleeps not at all.
    const uint32_t elapsed = platform::Tick() - start;
    const double hold = (static_cast<double>(written) + 1.0) * kCharTimeMs - elapsed;
    if (hold >= 1.0) platform::Sleep(static_cast<uint32_t>(hold));

    sink->RearmReceiver();
    port->Purge(true, false);
    if (keyed) port->SetRts(false);
    return ReadEvent().Wait(kFirstCharWaitMs) ? 1 : 0;
}

}  // namespace serial
