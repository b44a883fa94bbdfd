// velqorin-xml-box: a box at the far end of a dial-up link, answering the analyser's XML
// query on TCP (port 5000 by default), well or badly as asked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "FleetFile.h"
#include "XmlBox.h"

#include "support/Handles.h"
#include "JsonLinesLog.h"
#include "ReadyFile.h"
#include "StopSignals.h"

namespace {

using namespace velqorin;
using namespace velqorin::xmlbox;
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kProgram = "velqorin-xml-box";
// A peer that connects and sends no query is let go after this.
constexpr milliseconds kRequestWait{5000};

[[noreturn]] void failSystem(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

struct Options {
    std::vector<std::string> listen;
    std::string fleet;
    std::string box;
    std::optional<std::string> serial;
    std::string behaviour = "whole";
    std::string log;
    std::string readyFile;
    std::uint32_t seed = 1;
};

std::string endpointText(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

// "ADDRESS" or "ADDRESS:PORT"
sockaddr_in parseEndpoint(const std::string& text) {
    const auto colon = text.find(':');
    const std::string host = text.substr(0, colon);
    unsigned long port = 5000;
    if (colon != std::string::npos) {
        const std::string digits = text.substr(colon + 1);
        char* end = nullptr;
        port = std::strtoul(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || port == 0 || port > 65535)
            throw CLI::ValidationError("--listen", "bad port in '" + text + "'");
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
        throw CLI::ValidationError("--listen", "'" + host + "' is not an IPv4 address");
    return a;
}

UniqueFd listenOn(const sockaddr_in& at) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.get() < 0) failSystem("socket");
    const int on = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
        failSystem("bind " + endpointText(at));
    if (::listen(s.get(), 16) != 0) failSystem("listen " + endpointText(at));
    return s;
}

// Each line begins with the seconds since the box started.
class Log {
public:
    explicit Log(const std::string& path) : start_(SteadyClock::now()), lines_(path) {}
    void write(const nlohmann::ordered_json& record) {
        nlohmann::ordered_json line{
            {"t", std::chrono::duration<double>(SteadyClock::now() - start_).count()}};
        line.update(record);
        lines_.write(line);
    }

private:
    SteadyClock::time_point start_;
    tools::JsonLinesLog lines_;
};

struct Connection {
    UniqueFd fd;
    std::string peer;
    std::string local;
    SteadyClock::time_point accepted;
    std::string request;
    bool answering = false;
    SteadyClock::time_point queryRead;
    std::deque<Piece> pending;
    bool closeAfter = true;
    bool done = false;
};

class Box {
public:
    Box(const Options& o, Log& log)
        : log_(log),
          behaviour_(*behaviourNamed(o.behaviour)),
          answer_(answerText(pickBox(o), o.serial)),
          seed_(o.seed) {}

    void accept(int listener) {
        sockaddr_in peer{}, local{};
        socklen_t size = sizeof peer;
        UniqueFd fd(::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC));
        if (fd.get() < 0) return;
        size = sizeof local;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&local), &size);
        // The pieces of a split answer must leave as separate segments.
        const int on = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const timeval sendLimit{2, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
        Connection c;
        c.peer = endpointText(peer);
        c.local = endpointText(local);
        c.accepted = SteadyClock::now();
        log_.write({{"event", "accept"}, {"peer", c.peer}, {"local", c.local},
                    {"behaviour", behaviourName(behaviour_)}});
        c.fd = std::move(fd);
        if (behaviour_ == Behaviour::Close) {
            finish(c, "closed at once");
            return;
        }
        connections_.push_back(std::move(c));
    }

    void readable(Connection& c) {
        char buffer[4096];
        const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
        if (n <= 0) {
            finish(c, n == 0 ? "peer closed" : std::string("recv: ") + std::strerror(errno));
            return;
        }
        if (c.answering) return;  // whatever comes after the query is not read
        c.request.append(buffer, static_cast<std::size_t>(n));
        if (c.request.size() < kExpectedRequest.size()) return;
        const bool ok = c.request == kExpectedRequest;
        log_.write({{"event", "query"}, {"peer", c.peer}, {"ok", ok}, {"bytes", c.request}});
        if (!ok) {
            finish(c, "not the query");
            return;
        }
        const Plan plan = planFor(behaviour_, answer_, seed_);
        c.answering = true;
        c.queryRead = SteadyClock::now();
        c.pending.assign(plan.pieces.begin(), plan.pieces.end());
        c.closeAfter = plan.closeAfter;
        sendDue(c);
    }

    void sendDue(Connection& c) {
        const auto now = SteadyClock::now();
        while (!c.done && !c.pending.empty() && c.queryRead + c.pending.front().after <= now) {
            const Piece piece = std::move(c.pending.front());
            c.pending.pop_front();
            const ssize_t n = ::send(c.fd.get(), piece.bytes.data(), piece.bytes.size(), MSG_NOSIGNAL);
            log_.write({{"event", "sent"}, {"peer", c.peer}, {"bytes", n < 0 ? 0 : n}});
            if (n < 0) finish(c, std::string("send: ") + std::strerror(errno));
        }
        if (!c.done && c.answering && c.pending.empty() && c.closeAfter) finish(c, "answered");
    }

    void timeouts() {
        const auto now = SteadyClock::now();
        for (Connection& c : connections_) {
            if (!c.answering && now - c.accepted >= kRequestWait) finish(c, "no query");
            if (c.answering) sendDue(c);
        }
        std::erase_if(connections_, [](const Connection& c) { return c.done; });
    }

    milliseconds nextWait() const {
        milliseconds wait{1000};
        const auto now = SteadyClock::now();
        for (const Connection& c : connections_) {
            const auto due = c.answering && !c.pending.empty() ? c.queryRead + c.pending.front().after
                             : !c.answering                   ? c.accepted + kRequestWait
                                                               : now + wait;
            wait = std::min(wait, std::chrono::ceil<milliseconds>(due - now));
        }
        return std::max(wait, milliseconds(0));
    }

    std::list<Connection>& connections() { return connections_; }

private:
    static sim::BoxConfig pickBox(const Options& o) {
        const auto boxes = sim::readFleetFile(o.fleet);
        if (o.box.empty()) {
            if (boxes.empty()) throw sim::FleetError(o.fleet + ": the fleet has no boxes");
            return boxes.front();
        }
        for (const auto& b : boxes)
            if (b.serial == o.box) return b;
        throw sim::FleetError(o.fleet + ": no box with serial " + o.box);
    }

    void finish(Connection& c, const std::string& why) {
        ::shutdown(c.fd.get(), SHUT_RDWR);
        c.fd.reset();
        c.done = true;
        log_.write({{"event", "close"}, {"peer", c.peer}, {"why", why}});
    }

    Log& log_;
    Behaviour behaviour_;
    std::string answer_;
    std::uint32_t seed_;
    std::list<Connection> connections_;
};

int run(const Options& o) {
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) failSystem("signal SIGPIPE");
    const UniqueFd stop = velqorin::tools::stopSignals();
    Log log(o.log);
    Box box(o, log);
    std::vector<UniqueFd> listeners;
    for (const std::string& text : o.listen) listeners.push_back(listenOn(parseEndpoint(text)));
    const velqorin::tools::ReadyFile ready(o.readyFile);

    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({stop.get(), POLLIN, 0});
        for (const UniqueFd& l : listeners) fds.push_back({l.get(), POLLIN, 0});
        std::vector<Connection*> polled;
        for (Connection& c : box.connections()) {
            fds.push_back({c.fd.get(), POLLIN, 0});
            polled.push_back(&c);
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(box.nextWait().count())) < 0) {
            if (errno == EINTR) continue;
            failSystem("poll");
        }
        if (fds[0].revents != 0) break;
        for (std::size_t i = 0; i < listeners.size(); ++i)
            if (fds[1 + i].revents != 0) box.accept(listeners[i].get());
        for (std::size_t i = 0; i < polled.size(); ++i)
            if (fds[1 + listeners.size() + i].revents != 0 && !polled[i]->done)
                box.readable(*polled[i]);
        box.timeouts();
    }
    if (!o.readyFile.empty()) std::remove(o.readyFile.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{
        "Plays a Velqorin box at the far end of a dial-up link: answers the analyser's XML query "
        "with the identity of a box of a fleet file. Run it only inside a test network "
        "namespace.",
        kProgram};
    app.add_option("-l,--listen", o.listen, "ADDRESS[:PORT] to accept queries on (port 5000 by default); may be repeated")
        ->required();
    app.add_option("-f,--fleet", o.fleet, "JSON fleet file (as velqorin-box-sim reads)")
        ->required()
        ->type_name("FILE");
    app.add_option("--box", o.box, "Serial number of the fleet's box to play (default: the first)");
    app.add_option("--serial", o.serial, "Send this serial text instead, at any length");
    app.add_option("--behaviour", o.behaviour,
                   "whole, split (three pieces, then wait for the close), silent (never "
                   "answers), garbage, oversize (20000 bytes before the answer) or close "
                   "(closes before the query)")
        ->check([](const std::string& v) {
            return behaviourNamed(v) ? std::string() : "unknown behaviour '" + v + "'";
        });
    app.add_option("--log", o.log, "JSON lines, one per event (default: standard error)")->type_name("FILE");
    app.add_option("--ready-file", o.readyFile, "Write the process id to FILE once listening")
        ->type_name("FILE");
    app.add_option("--seed", o.seed, "Seed of the garbage bytes");
    CLI11_PARSE(app, argc, argv);
    try {
        return run(o);
    } catch (const sim::FleetError& e) {
        std::fprintf(stderr, "%s: bad fleet: %s\n", kProgram, e.what());
    } catch (const CLI::ValidationError& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    }
    return 1;
}
