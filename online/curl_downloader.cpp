// Downloads over HTTP with libcurl into a temporary file beside the target, renamed
// into place only when the whole body of a 2xx answer has arrived.
#include "online/online.h"

#include <curl/curl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <mutex>
#include <unistd.h>

namespace kestrel {

namespace {

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
    int fd = -1;
    std::size_t written = 0;
    std::size_t limit = 0;
    bool failed = false;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    // Returning less than was offered makes curl stop the transfer.
    if (bytes > sink->limit - sink->written) {
        sink->failed = true;
        return 0;
    }
    std::size_t left = bytes;
    while (left > 0) {
        const ssize_t put = ::write(sink->fd, data + (bytes - left), left);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            sink->failed = true;
            return 0;
        }
        left -= static_cast<std::size_t>(put);
    }
    sink->written += bytes;
    return bytes;
}

class Easy {
public:
    Easy() : handle_(curl_easy_init()) {}
    ~Easy()
    {
        if (handle_)
            curl_easy_cleanup(handle_);
    }
    Easy(const Easy&) = delete;
    Easy& operator=(const Easy&) = delete;
    CURL* get() const { return handle_; }

private:
    CURL* handle_;
};

} // namespace

bool CurlDownloader::download(const std::string& url, const std::filesystem::path& localPath)
{
    initialiseCurlOnce();
    Easy easy;
    if (!easy.get())
        return false;

    const std::filesystem::path folder = localPath.has_parent_path() ? localPath.parent_path() : ".";
    std::string temp = (folder / ("." + localPath.filename().string() + ".part-XXXXXX")).string();
    Sink sink;
    sink.limit = maxBytes_;
    sink.fd = ::mkstemp(temp.data());
    if (sink.fd < 0)
        return false;
    ::fchmod(sink.fd, 0644);

    CURL* c = easy.get();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectTimeout_.count()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(totalTimeout_.count()));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(c, CURLOPT_USERAGENT, (std::string("Kestrel/") + programVersion).c_str());

    const CURLcode result = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);

    const bool closed = ::close(sink.fd) == 0;
    const bool ok = result == CURLE_OK && !sink.failed && closed && status >= 200 && status < 300;
    if (ok && ::rename(temp.c_str(), localPath.c_str()) == 0)
        return true;
    ::unlink(temp.c_str());
    return false;
}

} // namespace kestrel
