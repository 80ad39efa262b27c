// Downloads over HTTP with libcurl into a file that is put in place only when the
// whole body of a 2xx answer has arrived, and the thread the start-up fetches run on.
#include "online/online.h"

#include "core/whole_file.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

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

/// One transfer: an easy handle driven by a multi handle of its own, whose wait the
/// cancelling thread can cut short.
class Transfer {
public:
    Transfer() : easy_(curl_easy_init()), multi_(curl_multi_init()) {}
    ~Transfer()
    {
        if (added_)
            curl_multi_remove_handle(multi_, easy_);
        if (easy_)
            curl_easy_cleanup(easy_);
        if (multi_)
            curl_multi_cleanup(multi_);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    bool ready() const { return easy_ && multi_; }
    CURL* easy() const { return easy_; }
    CURLM* multi() const { return multi_; }

    /// Runs the transfer until it ends, `deadline` passes or `stop` is set; the result
    /// of the transfer, or an error for a stopped one.
    CURLcode run(Downloader::Clock::time_point deadline, const std::atomic<bool>& stop)
    {
        if (curl_multi_add_handle(multi_, easy_) != CURLM_OK)
            return CURLE_FAILED_INIT;
        added_ = true;
        int running = 1;
        while (!stop) {
            if (curl_multi_perform(multi_, &running) != CURLM_OK)
                return CURLE_RECV_ERROR;
            if (!running)
                return finished();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Downloader::Clock::now());
            if (left.count() <= 0)
                return CURLE_OPERATION_TIMEDOUT;
            // A second at most, so that a clock that jumps cannot stretch the wait.
            const int wait = static_cast<int>(std::min<long long>(left.count(), 1000));
            if (curl_multi_poll(multi_, nullptr, 0, wait, nullptr) != CURLM_OK)
                return CURLE_RECV_ERROR;
        }
        return CURLE_ABORTED_BY_CALLBACK;
    }

private:
    CURLcode finished()
    {
        int left = 0;
        while (const CURLMsg* message = curl_multi_info_read(multi_, &left))
            if (message->msg == CURLMSG_DONE)
                return message->data.result;
        return CURLE_RECV_ERROR;
    }

    CURL* easy_;
    CURLM* multi_;
    bool added_ = false;
};

} // namespace

bool CurlDownloader::download(const std::string& url, const std::filesystem::path& localPath,
                              Clock::time_point deadline)
{
    initialiseCurlOnce();
    if (cancelled_ || Clock::now() >= deadline)
        return false;
    Transfer transfer;
    if (!transfer.ready())
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

    CURL* c = transfer.easy();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(c, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    // Zero would mean curl's own limits.
    const long connectLimit = static_cast<long>(std::min(connectTimeout_, left).count());
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, std::max(1L, connectLimit));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, std::max(1L, static_cast<long>(left.count())));
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
    const std::string agent = std::string("Kestrel/") + programVersion;
    curl_easy_setopt(c, CURLOPT_USERAGENT, agent.c_str());

    {
        std::lock_guard lock(mutex_);
        transfer_ = transfer.multi();
    }
    const CURLcode result = transfer.run(deadline, cancelled_);
    {
        std::lock_guard lock(mutex_);
        transfer_ = nullptr;
    }
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

void CurlDownloader::cancel()
{
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    if (transfer_)
        curl_multi_wakeup(static_cast<CURLM*>(transfer_));
}

FetchThread::~FetchThread()
{
    downloader_.cancel();
    if (thread_.joinable())
        thread_.join();
}

void FetchThread::start(std::string url, std::filesystem::path local, Downloader::Clock::time_point deadline,
                        std::function<void(bool)> done)
{
    if (thread_.joinable())
        thread_.join();
    thread_ = std::thread([this, url = std::move(url), local = std::move(local), deadline, done = std::move(done)] {
        done(downloader_.download(url, local, deadline));
    });
}

} // namespace kestrel
