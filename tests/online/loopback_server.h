// A small HTTP server on 127.0.0.1 for the download tests: it answers each request for
// a known path with its fixture and 404 for any other; a reply can also cut its body
// short or never come at all.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::testing {

struct Reply {
    int status = 200;
    std::string body;
    /// Bytes of the body actually sent; the Content-Length still announces all of it.
    std::size_t sendOnly = std::string::npos;
    /// Accept the connection, read the request and never answer.
    bool silent = false;
};

class LoopbackServer {
public:
    LoopbackServer();
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    /// "http://127.0.0.1:PORT", without a final slash.
    std::string address() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void set(const std::string& path, Reply reply);
    void serve(const std::string& path, const std::string& body) { set(path, Reply{200, body}); }

private:
    void answer(int client);

    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    std::vector<int> silentClients_;
    std::thread thread_;
};

} // namespace kestrel::testing
