// A box answering the XML query on a loopback address, on a thread of its own, from a
// script: what to send, when, and how to end the connection. IP traffic stays on lo.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velqorin::test {

struct BoxScript {
    enum class End { Close, Hold, Reset };
    // Each piece is sent after its pause, once the query is read.
    std::vector<std::pair<std::chrono::milliseconds, std::string>> pieces;
    End end = End::Close;
    bool readQuery = true;  // false: plays the script as soon as it accepts
};

class LoopbackBox {
public:
    // Listens on `address` ("127.0.0.2"), on `port` or a free one when 0.
    LoopbackBox(const char* address, BoxScript script, std::uint16_t port = 0)
        : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &at.sin_addr);
        const int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            ::listen(listener_, 8) != 0) {
            if (listener_ >= 0) ::close(listener_);
            throw std::runtime_error(std::string("cannot listen on ") + address);
        }
        socklen_t size = sizeof at;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&at), &size);
        port_ = ntohs(at.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackBox() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }
    LoopbackBox(const LoopbackBox&) = delete;
    LoopbackBox& operator=(const LoopbackBox&) = delete;

    std::uint16_t port() const { return port_; }
    int connections() const { return connections_; }
    std::vector<std::string> queries() const {
        std::lock_guard lock(mutex_);
        return queries_;
    }

private:
    bool readable(int fd, int ms) const {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, ms) > 0;
    }

    void serve() {
        while (!stop_) {
            if (!readable(listener_, 20)) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            ++connections_;
            play(fd);
        }
    }

    void play(int fd) {
        if (script_.readQuery) {
            std::string query;
            char buffer[256];
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (query.size() < 54 && std::chrono::steady_clock::now() < until && !stop_) {
                if (!readable(fd, 20)) continue;
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                query.append(buffer, static_cast<std::size_t>(n));
            }
            std::lock_guard lock(mutex_);
            queries_.push_back(query);
        }
        for (const auto& [pause, bytes] : script_.pieces) {
            std::this_thread::sleep_for(pause);
            ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
        if (script_.end == BoxScript::End::Hold) {
            char buffer[256];
            // Until the analyser hangs up: a box that never says more.
            while (!stop_) {
                if (!readable(fd, 20)) continue;
                if (::recv(fd, buffer, sizeof buffer, 0) <= 0) break;
            }
        } else if (script_.end == BoxScript::End::Reset) {
            const linger abort{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        ::close(fd);
    }

    BoxScript script_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> queries_;
    std::thread thread_;
};

}  // namespace velqorin::test
