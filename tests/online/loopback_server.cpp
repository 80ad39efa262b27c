#include "tests/online/loopback_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <cstdlib>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::testing {

namespace {

void sendAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (put <= 0)
            return;
        done += static_cast<std::size_t>(put);
    }
}

const char* reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

} // namespace

LoopbackServer::LoopbackServer()
{
    // A proxy set for the machine must not stand between the tests and this server.
    ::setenv("no_proxy", "127.0.0.1", 1);
    ::setenv("NO_PROXY", "127.0.0.1", 1);
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        throw std::runtime_error("cannot create the test server's socket");
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0; // any free port
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener_, 16) != 0) {
        ::close(listener_);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    socklen_t length = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

LoopbackServer::~LoopbackServer()
{
    stop_ = true;
    thread_.join();
    for (const int fd : silentClients_)
        ::close(fd);
    ::close(listener_);
}

std::string LoopbackServer::address() const { return "http://127.0.0.1:" + std::to_string(port_); }

void LoopbackServer::set(const std::string& path, Reply reply)
{
    std::lock_guard lock(mutex_);
    replies_[path] = std::move(reply);
}

std::vector<std::string> LoopbackServer::requests() const
{
    std::lock_guard lock(mutex_);
    return requests_;
}

void LoopbackServer::run()
{
    while (!stop_) {
        pollfd p{listener_, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0)
            continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0)
            answer(client);
    }
}

void LoopbackServer::answer(int client)
{
    // Read the request head; the downloads send no body.
    std::string head;
    char buffer[4096];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        pollfd p{client, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0)
            break;
        const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        head.append(buffer, static_cast<std::size_t>(got));
    }
    const std::size_t first = head.find(' ');
    const std::size_t second = first == std::string::npos ? first : head.find(' ', first + 1);
    const std::string path = second == std::string::npos ? "" : head.substr(first + 1, second - first - 1);

    Reply reply{404, "<html><body>Not Found</body></html>\n"};
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(path);
        if (const auto it = replies_.find(path); it != replies_.end())
            reply = it->second;
        if (reply.silent) {
            silentClients_.push_back(client);
            return;
        }
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) +
                      "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(reply.body.size()) +
                      "\r\nConnection: close\r\n\r\n";
    out += reply.body.substr(0, reply.sendOnly);
    sendAll(client, out);
    ::shutdown(client, SHUT_WR);
    ::close(client);
}

} // namespace kestrel::testing
