#include "tests/online/loopback_server.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::testing {

LoopbackServer::LoopbackServer()
{
    // A proxy set for the machine must not stand between the tests and this server.
    ::setenv("no_proxy", "127.0.0.1", 1);
    ::setenv("NO_PROXY", "127.0.0.1", 1);

    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    port_ = ntohs(addr.sin_port);

    thread_ = std::thread([this] {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            if (const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC); client >= 0)
                answer(client);
        }
    });
}

LoopbackServer::~LoopbackServer()
{
    stop_ = true;
    thread_.join();
    for (const int fd : silentClients_)
        ::close(fd);
    ::close(listener_);
}

void LoopbackServer::set(const std::string& path, Reply reply)
{
    std::lock_guard lock(mutex_);
    replies_[path] = std::move(reply);
}

void LoopbackServer::answer(int client)
{
    std::string head; // the downloads send no body
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        pollfd p{client, POLLIN, 0};
        const ssize_t got = ::poll(&p, 1, 2000) > 0 ? ::recv(client, buffer, sizeof buffer, 0) : 0;
        if (got <= 0)
            break;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t first = head.find(' ');
    const std::size_t second = head.find(' ', first == std::string::npos ? 0 : first + 1);
    const std::string path = second == std::string::npos ? "" : head.substr(first + 1, second - first - 1);

    Reply reply{404, "<html><body>Not Found</body></html>\n"};
    {
        std::lock_guard lock(mutex_);
        if (const auto it = replies_.find(path); it != replies_.end())
            reply = it->second;
        if (reply.silent) {
            silentClients_.push_back(client);
            return;
        }
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " Fixture\r\nContent-Length: " +
                      std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" +
                      reply.body.substr(0, reply.sendOnly);
    for (std::size_t done = 0; done < out.size();) {
        const ssize_t put = ::send(client, out.data() + done, out.size() - done, MSG_NOSIGNAL);
        if (put <= 0)
            break;
        done += static_cast<std::size_t>(put);
    }
    ::close(client);
}

} // namespace kestrel::testing
