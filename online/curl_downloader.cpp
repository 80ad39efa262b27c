// Downloads over HTTP with libcurl into a file that is put in place only when the
// whole body of a 2xx answer has arrived.
#include "online/online.h"

#include "core/whole_file.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace kestrel {

namespace {

void initialiseCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
    WholeFileWriter* file = nullptr;
    std::size_t limit = 0;
    bool failed = false;
};

std::size_t writeBody(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* sink = static_cast<Sink*>(user);
    const std::size_t bytes = size * count;
    // Returning less than was offered makes curl stop the transfer. Nothing may be
    // thrown back through curl.
    if (bytes > sink->limit - sink->file->size()) {
        sink->failed = true;
        return 0;
    }
    try {
        sink->file->write(data, bytes);
    } catch (...) {
        sink->failed = true;
        return 0;
    }
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

    std::unique_ptr<WholeFileWriter> file;
    try {
        file = std::make_unique<WholeFileWriter>(localPath);
    } catch (const std::exception&) {
        return false;
    }
    Sink sink;
    sink.file = file.get();
    sink.limit = maxBytes_;

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

    if (result != CURLE_OK || sink.failed || status < 200 || status >= 300)
        return false;
    try {
        file->commit();
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

} // namespace kestrel
