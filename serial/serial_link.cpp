#include "serial/serial_link.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

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
// it was started with; the record stops and joins it before it goes, however
// it goes (ClosePort, a failed open, the end of the process).
struct CSerialLink {
    int number = 0;
    std::string name;
    std::unique_ptr<ComPort> port;
    std::atomic<int> running{0};
    std::thread receiveThread;
    // Under g_stateMutex: the port went away; OpenPort has made it current.
    bool lost = false;
    bool published = false;

    ~CSerialLink() { StopReceiving(); }
    void StopReceiving() {
        running.store(0);
        if (port) port->CancelWait();
        if (receiveThread.joinable()) receiveThread.join();
    }
};

constinit std::atomic<ReceiveSink*> g_sink{nullptr};
constinit std::atomic<Notifier*> g_notifier{nullptr};
constinit std::atomic<int> g_currentPort{0};
constinit std::atomic<OpenError> g_lastOpenError{OpenError::kNone};
// OpenPort and ClosePort calls under way. While one is, no port reads as
// open: a worker that finds its transaction cut short by the change then
// sleeps until it is over, instead of failing one transaction after another
// while the change waits for the link.
constinit std::atomic<int> g_portChanges{0};

// Guards the hand-over between OpenPort and a receive thread that sees the
// port vanish while OpenPort is still starting it: the current port and the
// records' lost/published flags. Never held while calling out or joining.
std::mutex g_stateMutex;

// Guarded by LinkMutex().
std::unique_ptr<CSerialLink> g_link;

// What cuts a transaction's waits short: abort requests, and the loss of
// the port (until the next open or close).
struct AbortState {
    std::mutex mutex;
    std::condition_variable cv;
    std::atomic<int> requests{0};
    std::atomic<bool> portLost{false};
};

AbortState& Abort() {
    static AbortState state;
    return state;
}

// "A character has arrived": set by the receive thread, consumed by the
// first-character wait of WriteRequest.
platform::AutoResetEvent& ReadEvent() {
    static platform::AutoResetEvent event;
    return event;
}

// Abort().mutex held.
void UpdateInterruptedWaits() {
    const bool on = Abort().requests.load() > 0 || Abort().portLost.load();
    ReadEvent().SetInterrupted(on);
    if (ReceiveSink* sink = g_sink.load()) sink->InterruptWaits(on);
}

void SetPortLost(bool lost) {
    AbortState& a = Abort();
    {
        std::lock_guard lock(a.mutex);
        if (a.portLost.exchange(lost) == lost) return;
        UpdateInterruptedWaits();
    }
    a.cv.notify_all();
}

// A port change for as long as it lives: no port reads as open, and the
// transaction that holds the link is cut short.
struct PortChangeScope {
    PortChangeScope() {
        g_portChanges.fetch_add(1);
        RaiseAbort();
    }
    ~PortChangeScope() {
        LowerAbort();
        g_portChanges.fetch_sub(1);
    }
    PortChangeScope(const PortChangeScope&) = delete;
    PortChangeScope& operator=(const PortChangeScope&) = delete;
};

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

// The port of `link` is gone. It no longer reads as open, so transactions
// fail at once and choosing the same port again really reopens it. The
// listener hears of it once, and only of a port OpenPort had made current.
void MarkLost(CSerialLink& link) {
    bool tell = false;
    {
        std::lock_guard lock(g_stateMutex);
        if (link.lost) return;
        link.lost = true;
        if (link.published && g_currentPort.load() == link.number) {
            g_currentPort.store(0);
            tell = true;
        }
    }
    platform::Trace("receive: " + link.name + " vanished\n");
    if (tell) SetPortLost(true);
    if (Notifier* n = g_notifier.load(); tell && n != nullptr) n->PortLost(link.number, link.name);
}

void ReceiveThreadProc(CSerialLink* link) {
    ComPort& port = *link->port;
    uint8_t chunk[50];
    while (link->running.load() == 1) {
        const WaitResult r = port.WaitForInput();
        if (r == WaitResult::kCancelled) continue;
        if (r == WaitResult::kVanished) {
            // Nothing more will come: stop waiting on it rather than spin.
            MarkLost(*link);
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

// A process that ends with the port open (a signal handled by exit, an
// error path) stops the receive thread before the objects it uses go.
void CloseAtExit() {
    RaiseAbort();
    ClosePort();
}

int OpenPortLocked(int port, std::vector<Notice>& notices, OpenError& error) {
    auto show = [&](std::string text) {
        platform::Trace(text + "\n");
        notices.push_back(Notice{std::move(text), "", NoticeIcon::kNone});
    };
    error = OpenError::kOther;
    if (port == g_currentPort.load()) {
        error = OpenError::kNone;
        return 1;
    }
    {
        std::lock_guard lock(g_stateMutex);
        g_currentPort.store(0);
    }
    ClosePort();
    SetPortLost(false);
    if (CreateLinkRecord() != 1) {
        show("打开串口失败");
        return 0;
    }
    if (ReceiveSink* sink = g_sink.load()) sink->ResetLinkState();

    PortEndpoint endpoint = CreatePort(port);
    const std::string name = endpoint.name.empty() ? PortName(port) : endpoint.name;
    if (!endpoint.port || !endpoint.port->Open(endpoint.device)) {
        error = endpoint.port ? endpoint.port->LastOpenError() : OpenError::kNoSuchDevice;
        if (error == OpenError::kNone) error = OpenError::kOther;
        platform::Trace("open " + name + " (" + endpoint.device +
                        ") failed: " + DescribeOpenError(error) + "\n");
        // The first line as it always was; the reason, when there is one
        // worth telling, below it.
        std::string text = "创建" + name + "失败";
        if (const std::string reason = OpenErrorReason(error); !reason.empty())
            text += "\n" + reason;
        show(std::move(text));
        return 0;
    }
    CSerialLink& link = *g_link;
    link.port = std::move(endpoint.port);
    link.number = port;
    link.name = name;
    ComPort& p = *link.port;

    const int r = ConfigureLine(p);
    if (r == 0) {
        link.running.store(0);
        p.Close();
        return 0;
    }
    link.running.store(1);
    ReadEvent().Reset();
    try {
        link.receiveThread = std::thread(ReceiveThreadProc, &link);
    } catch (const std::system_error&) {
        link.running.store(0);
        p.Close();
        return 0;
    }
    p.SetDtr(false);
    p.ReleaseRts();
    p.SetDtr(false);
    {
        std::lock_guard lock(g_stateMutex);
        if (link.lost) {
            // Gone before it was ever current: not open, and reopenable.
            platform::Trace("open " + name + ": vanished at once\n");
            return 0;
        }
        link.published = true;
        g_currentPort.store(port);
    }
    error = OpenError::kNone;
    return r;
}

}  // namespace

void SetReceiveSink(ReceiveSink* sink) { g_sink.store(sink); }
void SetNotifier(Notifier* notifier) { g_notifier.store(notifier); }

std::recursive_mutex& LinkMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

void RaiseAbort() {
    AbortState& a = Abort();
    {
        std::lock_guard lock(a.mutex);
        a.requests.fetch_add(1);
        UpdateInterruptedWaits();
    }
    a.cv.notify_all();
}

void LowerAbort() {
    AbortState& a = Abort();
    std::lock_guard lock(a.mutex);
    if (a.requests.load() > 0) a.requests.fetch_sub(1);
    UpdateInterruptedWaits();
}

bool AbortRaised() { return Abort().requests.load() > 0 || Abort().portLost.load(); }

bool SleepUnlessAborted(uint32_t ms) {
    AbortState& a = Abort();
    std::unique_lock lock(a.mutex);
    return !a.cv.wait_for(lock, platform::RealDuration(ms), [] { return AbortRaised(); });
}

int OpenPort(int port) {
    // The port already open: nothing to interrupt, nothing to do.
    if (port != 0 && port == g_currentPort.load()) {
        g_lastOpenError.store(OpenError::kNone);
        return 1;
    }
    static std::once_flag atExit;
    std::call_once(atExit, [] {
        // What the handler uses must be made first, or it would be gone
        // before the handler runs.
        (void)Abort();
        (void)ReadEvent();
        (void)LinkMutex();
        std::atexit(CloseAtExit);
    });

    std::vector<Notice> notices;
    OpenError error = OpenError::kOther;
    int r;
    {
        PortChangeScope change;
        std::lock_guard lock(LinkMutex());
        r = OpenPortLocked(port, notices, error);
    }
    g_lastOpenError.store(error);
    if (Notifier* n = g_notifier.load())
        for (const Notice& notice : notices) n->Notify(notice);
    return r;
}

int ClosePort() {
    std::unique_ptr<CSerialLink> link;
    {
        PortChangeScope change;
        std::lock_guard lock(LinkMutex());
        if (!g_link) return 0;
        link = std::move(g_link);
        {
            std::lock_guard state(g_stateMutex);
            // A closed port is not open, whoever closed it.
            g_currentPort.store(0);
            link->published = false;
        }
        // Joined first: a receive thread that saw the port go may still be
        // marking the loss.
        link->StopReceiving();
        SetPortLost(false);
        if (link->port) {
            link->port->SetDtr(false);
            link->port->Purge(true, true);
            link->port->Close();
        }
    }
    return 1;
}

bool IsPortOpen() { return g_currentPort.load() != 0 && g_portChanges.load() == 0; }
int CurrentPort() { return g_currentPort.load(); }
OpenError LastOpenPortError() { return g_lastOpenError.load(); }

bool CanTransmit() {
    if (AbortRaised() || !IsPortOpen()) return false;
    std::lock_guard lock(LinkMutex());
    const ComPort* p = OpenLinkPort();
    return p != nullptr && !p->HasVanished();
}

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
    if (port == nullptr || sink == nullptr || port->HasVanished()) return 0;

    // Bus-quiet wait: the line must have been free of carrier for
    // busQuietTime, counted from now or from the last carrier seen. The
    // last step sleeps exactly the rest, so the wait ends on time.
    const uint32_t began = platform::Tick();
    uint32_t start = began;
    for (;;) {
        const uint32_t now = platform::Tick();
        uint32_t step = kCarrierPollMs;
        if (port->CarrierDetect()) {
            start = now;
            sink->SetBusQuietTime(310);
            if (now - began >= kMaxQuietWaitMs) {
                platform::Trace("carrier never dropped\n");
                return 0;
            }
        } else {
            const uint32_t quiet = now - start;
            const uint32_t needed = sink->BusQuietTime();
            if (quiet >= needed) break;
            if (needed - quiet < step) step = needed - quiet;
        }
        if (!SleepUnlessAborted(step)) return 0;
    }

    port->Purge(false, true);
    const bool keyed = sink->IsRtsKeying();
    if (keyed) port->SetRts(true);
    sink->DisableReceive();
    // Characters of an earlier reply must not pass for the first character
    // of this one; an echo of this transmission still counts.
    ReadEvent().Reset();
    // The hold counts from the start of the write: the time the driver took
    // to accept the bytes is part of their transmission.
    start = platform::Tick();
    const long written = port->Write(frame, length);
    if (written < 0) {
        // A write refused at once must not leave the modem keyed.
        if (keyed) port->SetRts(false);
        return 0;
    }
    platform::TraceHex("TX:", frame, static_cast<size_t>(written));

    // Hold until every character written and one more have left the line.
    // The bytes the driver took count even when the write completed at
    // once; a hold that the write itself used up sleeps not at all.
    const uint32_t elapsed = platform::Tick() - start;
    const double hold = (static_cast<double>(written) + 1.0) * kCharTimeMs - elapsed;
    const bool held = hold < 1.0 || SleepUnlessAborted(static_cast<uint32_t>(hold));

    sink->RearmReceiver();
    port->Purge(true, false);
    if (keyed) port->SetRts(false);
    if (!held) return 0;
    return ReadEvent().Wait(kFirstCharWaitMs) && !AbortRaised() ? 1 : 0;
}

}  // namespace serial
