#include "meter_standin.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>

#include "pseudo_terminal.h"

namespace standin {
namespace {

double NowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr struct {
    Behaviour behaviour;
    std::string_view name;
} kNames[] = {
    {Behaviour::kAnswer, "answer"},   {Behaviour::kSilent, "silent"},
    {Behaviour::kGarbage, "garbage"}, {Behaviour::kOverload, "overload"},
    {Behaviour::kError, "error"},     {Behaviour::kHangup, "hangup"},
    {Behaviour::kReset, "reset"},
};

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string Trimmed(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return std::string(s);
}

bool Fail(std::string* error, const std::string& what) {
    if (error != nullptr) *error = what + ": " + std::strerror(errno);
    return false;
}

enum class Kind { kPty, kUsbtmc, kTcp };

const char* KindName(Kind k) {
    switch (k) {
        case Kind::kPty:
            return "pty";
        case Kind::kUsbtmc:
            return "usbtmc";
        case Kind::kTcp:
            return "tcp";
    }
    return "";
}

struct Connection {
    Kind kind = Kind::kPty;
    int fd = -1;                               // the master, or the socket
    std::unique_ptr<e2e::PseudoTerminal> pty;  // owns the master of a pty endpoint
    std::string input;
    bool closed = false;
};

struct Pending {
    double dueMs;
    Connection* connection;
    std::string bytes;
};

}  // namespace

std::string_view BehaviourName(Behaviour behaviour) {
    for (const auto& n : kNames)
        if (n.behaviour == behaviour) return n.name;
    return "?";
}

std::optional<Behaviour> ParseBehaviour(std::string_view name) {
    for (const auto& n : kNames)
        if (n.name == name) return n.behaviour;
    return std::nullopt;
}

std::optional<std::vector<Behaviour>> ParseScript(std::string_view script) {
    std::vector<Behaviour> out;
    size_t at = 0;
    while (at <= script.size()) {
        const size_t comma = std::min(script.find(',', at), script.size());
        std::string_view item = script.substr(at, comma - at);
        int times = 1;
        if (const size_t star = item.find('*'); star != std::string_view::npos) {
            const auto [end, ec] = std::from_chars(item.data(), item.data() + star, times);
            if (ec != std::errc() || end != item.data() + star || times < 1 || times > 10000)
                return std::nullopt;
            item.remove_prefix(star + 1);
        }
        const auto b = ParseBehaviour(item);
        if (!b) return std::nullopt;
        out.insert(out.end(), static_cast<size_t>(times), *b);
        at = comma + 1;
    }
    return out;
}

struct MeterStandIn::Impl {
    explicit Impl(StandInOptions o) : options(std::move(o)), rng(options.seed) {}

    void Run();
    void ReadFrom(Connection& c);
    void Handle(Connection& c, const std::string& command);
    void Reply(Connection& c, std::string text);
    void CloseConnection(Connection& c, bool reset);
    void Accept();
    std::string Reading();
    bool AddTerminal(Kind kind, const std::string& link, std::string* path, std::string* error) {
        auto c = std::make_unique<Connection>();
        c->kind = kind;
        c->pty = std::make_unique<e2e::PseudoTerminal>();
        if (!c->pty->Create(link, error)) return false;
        c->fd = c->pty->Master();
        *path = c->pty->SlavePath();
        connections.push_back(std::move(c));
        return true;
    }

    StandInOptions options;
    std::mt19937 rng;
    std::normal_distribution<double> noise{0.0, 1.0};
    int readings = 0;
    size_t scriptAt = 0;
    std::deque<std::string> errors;

    std::vector<std::unique_ptr<Connection>> connections;
    int listener = -1;
    std::vector<Pending> pending;
    int wake[2] = {-1, -1};
    std::thread thread;
    bool started = false;
    std::string ptyPath, usbtmcPath;

    mutable std::mutex mutex;  // guards heard, onHeard, stop
    std::vector<HeardCommand> heard;
    std::function<void(const HeardCommand&)> onHeard;
    bool stop = false;
};

MeterStandIn::MeterStandIn(StandInOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

MeterStandIn::~MeterStandIn() {
    Stop();
    for (auto& c : impl_->connections)
        if (c->kind == Kind::kTcp && c->fd >= 0) ::close(c->fd);
    if (impl_->listener >= 0) ::close(impl_->listener);
    for (int fd : impl_->wake)
        if (fd >= 0) ::close(fd);
}

bool MeterStandIn::AddPty(const std::string& link, std::string* error) {
    return impl_->AddTerminal(Kind::kPty, link, &impl_->ptyPath, error);
}

bool MeterStandIn::AddUsbtmc(const std::string& link, std::string* error) {
    return impl_->AddTerminal(Kind::kUsbtmc, link, &impl_->usbtmcPath, error);
}

bool MeterStandIn::AddTcp(uint16_t* port, std::string* error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return Fail(error, "socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;  // the system picks: parallel tests never meet
    socklen_t length = sizeof(a);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
        ::close(fd);
        return Fail(error, "listen on 127.0.0.1");
    }
    impl_->listener = fd;
    *port = ntohs(a.sin_port);
    return true;
}

std::string MeterStandIn::PtyPath() const { return impl_->ptyPath; }
std::string MeterStandIn::UsbtmcPath() const { return impl_->usbtmcPath; }

bool MeterStandIn::Start(std::string* error) {
    if (::pipe2(impl_->wake, O_NONBLOCK | O_CLOEXEC) != 0) return Fail(error, "pipe");
    impl_->started = true;
    impl_->thread = std::thread([this] { impl_->Run(); });
    return true;
}

void MeterStandIn::Stop() {
    if (!impl_->started) return;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stop = true;
    }
    const char token = 1;
    (void)!::write(impl_->wake[1], &token, 1);
    impl_->thread.join();
    impl_->started = false;
}

std::vector<HeardCommand> MeterStandIn::Heard() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->heard;
}

std::vector<std::string> MeterStandIn::Commands() const {
    std::vector<std::string> out;
    for (const auto& h : Heard()) out.push_back(h.command);
    return out;
}

void MeterStandIn::OnHeard(std::function<void(const HeardCommand&)> callback) {
    std::lock_guard lock(impl_->mutex);
    impl_->onHeard = std::move(callback);
}

void MeterStandIn::Impl::Run() {
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (stop) return;
        }
        // Answers that are due.
        const double now = NowMs();
        for (size_t i = 0; i < pending.size();) {
            if (pending[i].dueMs > now) {
                ++i;
                continue;
            }
            Connection& c = *pending[i].connection;
            if (!c.closed) {
                // One write: on the USBTMC stand-in that is one message.
                size_t done = 0;
                while (done < pending[i].bytes.size()) {
                    const ssize_t n = ::write(c.fd, pending[i].bytes.data() + done,
                                              pending[i].bytes.size() - done);
                    if (n > 0) {
                        done += static_cast<size_t>(n);
                    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                        pollfd p{c.fd, POLLOUT, 0};
                        (void)::poll(&p, 1, 50);
                    } else {
                        break;
                    }
                }
            }
            pending.erase(pending.begin() + static_cast<long>(i));
        }

        std::vector<pollfd> fds = {{wake[0], POLLIN, 0}};
        std::vector<Connection*> owners = {nullptr};
        if (listener >= 0) {
            fds.push_back({listener, POLLIN, 0});
            owners.push_back(nullptr);
        }
        for (auto& c : connections) {
            if (c->closed) continue;
            fds.push_back({c->fd, POLLIN, 0});
            owners.push_back(c.get());
        }
        int timeout = -1;
        for (const Pending& p : pending) {
            const int ms = std::max(0, static_cast<int>(p.dueMs - NowMs()) + 1);
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) return;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == wake[0]) {
                char sink[16];
                (void)!::read(wake[0], sink, sizeof(sink));
            } else if (fds[i].fd == listener) {
                Accept();
            } else if (!owners[i]->closed) {
                ReadFrom(*owners[i]);
            }
        }
    }
}

void MeterStandIn::Impl::Accept() {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto c = std::make_unique<Connection>();
        c->kind = Kind::kTcp;
        c->fd = fd;
        connections.push_back(std::move(c));
    }
}

void MeterStandIn::Impl::ReadFrom(Connection& c) {
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(c.fd, buffer, sizeof(buffer));
        if (n > 0) {
            c.input.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            // The program closed its end: a TCP client is done; a pty
            // reports EIO while nobody holds its slave, which is no end.
            if (c.kind == Kind::kTcp) CloseConnection(c, false);
        }
        break;
    }
    for (size_t lf; !c.closed && (lf = c.input.find('\n')) != std::string::npos;) {
        std::string line = c.input.substr(0, lf);
        c.input.erase(0, lf + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        Handle(c, line);
    }
}

std::string MeterStandIn::Impl::Reading() {
    const int k = readings++;
    double ma = options.currentMa;
    if (k < options.settleReadings)
        ma += options.driftMa * static_cast<double>(options.settleReadings - k) /
              static_cast<double>(options.settleReadings);
    if (options.noiseMa > 0.0) ma += options.noiseMa * noise(rng);
    char text[40];
    std::snprintf(text, sizeof(text), "%+.8E", ma / 1000.0);
    return text;
}

void MeterStandIn::Impl::Handle(Connection& c, const std::string& raw) {
    const std::string trimmed = Trimmed(raw);
    if (trimmed.empty()) return;
    HeardCommand h{NowMs(), KindName(c.kind), trimmed};
    {
        std::lock_guard lock(mutex);
        heard.push_back(h);
        if (onHeard) onHeard(h);
    }
    const std::string command = Upper(trimmed);
    if (command == "*CLS") {
        errors.clear();
        return;
    }
    if (command == "*RST" || command.rfind("CONF:CURR:DC", 0) == 0 ||
        command.rfind("CONFIGURE:CURRENT:DC", 0) == 0)
        return;
    if (command == "SYST:ERR?" || command == "SYSTEM:ERROR?" || command == "SYST:ERR:NEXT?") {
        std::string e = "+0,\"No error\"";
        if (!errors.empty()) {
            e = errors.front();
            errors.pop_front();
        }
        Reply(c, e);
        return;
    }
    const bool reading =
        command == "READ?" || command == "MEAS:CURR:DC?" || command == "MEASURE:CURRENT:DC?";
    if (command != "*IDN?" && !reading) {
        errors.push_back("-113,\"Undefined header\"");
        return;
    }
    const Behaviour b =
        scriptAt < options.script.size() ? options.script[scriptAt++] : options.otherwise;
    // A reading is taken whatever becomes of it, as a meter's trigger is.
    std::string answer = reading ? Reading() : options.identity;
    switch (b) {
        case Behaviour::kAnswer:
            Reply(c, answer);
            break;
        case Behaviour::kSilent:
            break;
        case Behaviour::kGarbage:
            Reply(c, options.garbage);
            break;
        case Behaviour::kOverload:
            Reply(c, "+9.90000000E+37");
            break;
        case Behaviour::kError:
            errors.push_back(options.error);
            break;
        case Behaviour::kHangup:
        case Behaviour::kReset:
            CloseConnection(c, b == Behaviour::kReset);
            break;
    }
}

void MeterStandIn::Impl::Reply(Connection& c, std::string text) {
    // A USBTMC answer is one message; its end is the transfer's, not a byte.
    if (c.kind != Kind::kUsbtmc) text += '\n';
    pending.push_back({NowMs() + options.delayMs, &c, std::move(text)});
}

void MeterStandIn::Impl::CloseConnection(Connection& c, bool reset) {
    c.closed = true;
    if (c.kind == Kind::kTcp) {
        if (reset) {
            const linger l{1, 0};
            (void)::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
        }
        ::close(c.fd);
        c.fd = -1;
    } else {
        c.pty->Hangup();
    }
}

}  // namespace standin
