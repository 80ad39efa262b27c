#include "cli/output.h"

#include "cli/output_system.h"
#include "cli/stop_signals.h"
#include "core/failure.h"

#include <cstddef>
#include <system_error>
#include <utility>
#include <iostream>
#include <streambuf>
#include <unistd.h>

namespace kestrel::cli {
namespace {

class DescriptorBuffer : public std::streambuf {
public:
    DescriptorBuffer() { setp(buffer_, buffer_ + sizeof buffer_); }
    int error() const { return error_; }

protected:
    int_type overflow(int_type c) override
    {
        if (drain() != 0)
            return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return drain(); }

private:
    // After a failure nothing more is written: the output has lost lines already.
    int drain()
    {
        const char* p = pbase();
        std::size_t left = static_cast<std::size_t>(pptr() - pbase());
        while (left > 0 && error_ == 0) {
            const std::ptrdiff_t n = writeStandardOutput(p, left, error_);
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        setp(buffer_, buffer_ + sizeof buffer_);
        return error_ == 0 ? 0 : -1;
    }

    char buffer_[1 << 16];
    int error_ = 0;
};

// Never destroyed: std::cout may still be flushed while the program ends.
DescriptorBuffer& buffer()
{
    static auto* instance = new DescriptorBuffer;
    return *instance;
}

} // namespace

void installOutput()
{
    prepareStandardOutput();
    std::cout.rdbuf(&buffer());
}

int outputError() { return buffer().error(); }

int finishOutput(int status, bool reported)
{
    std::cout.flush();
    const int error = outputError();
    if (error == 0 || reported)
        return status;
    if (outputGone(error)) {
        std::cerr << "kestrel-cli: the output was closed before everything was written\n";
        return 128 + closedOutputSignal;
    }
    std::cerr << "kestrel-cli: " << outputFailureText(error) << "\n";
    return 1;
}

std::string terminalText(std::string_view line)
{
    std::string out;
    for (const char c : line) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0x1B) {
            out += "\\e";
        } else if ((byte < 0x20 && c != '\t') || byte == 0x7F) {
            constexpr char digits[] = "0123456789abcdef";
            out += "\\x";
            out += digits[byte >> 4];
            out += digits[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool ResultLines::isTerminal(int descriptor) { return ::isatty(descriptor) != 0; }

bool ResultLines::print(const std::string& text)
{
    // Redirected, the line keeps its bytes: a script reads the names as they are.
    const std::string errorLine = errorTerminal_ ? terminalText(text) : text;
    if (lost_) {
        std::cerr << errorLine << "\n";
        return true;
    }
    std::cout << (outputTerminal_ ? terminalText(text) : text) << "\n" << std::flush;
    const int error = outputError();
    if (!error)
        return true;
    lost_ = true;
    if (outputGone(error)) {
        std::cerr << "kestrel-cli: the output was closed; " << errorLine << "\n";
        stopSignal_ = closedOutputSignal;
    } else {
        std::cerr << "kestrel-cli: " << outputFailureText(error) << "; " << errorLine << "\n";
        failure_ = error;
    }
    return false;
}

std::optional<int> ResultLines::stoppedStatus() const
{
    if (failure_) {
        std::cerr << "kestrel-cli: " << outputFailureText(failure_) << "; no further file was written\n";
        return 1;
    }
    if (const int s = stopSignal_.load()) {
        std::cerr << "kestrel-cli: stopped by " << stopCause(s) << "; no further file was written\n";
        return 128 + s;
    }
    return std::nullopt;
}

void sayFewerJobs(unsigned started, unsigned asked, const std::string& reason)
{
    std::cerr << "kestrel-cli: only " << started << " of " << asked << " jobs could be started (" << reason << "); "
              << (started == 0 ? "the files are treated one at a time"
                               : "the files are treated " + std::to_string(started) + " at a time")
              << "\n";
}

bool refusedStreamOntoImage(
    const std::function<std::optional<std::filesystem::path>(const std::filesystem::path& stream)>& ofRun)
{
    for (const auto& [fd, name] : {std::pair{1, "standard output"}, std::pair{2, "standard error"}}) {
        std::error_code ec;
        const std::filesystem::path stream = "/proc/self/fd/" + std::to_string(fd);
        if (!std::filesystem::exists(stream, ec))
            continue;
        if (const auto image = ofRun(stream)) {
            // Said where no image is.
            (fd == 2 ? std::cout : std::cerr) << "kestrel-cli: " << name << " is " << image->string()
                                              << ", a file of this run: its lines would be written over the image; "
                                                 "send it elsewhere\n"
                                              << std::flush;
            return true;
        }
    }
    return false;
}

bool drawn(const plot::Chart& chart, const std::filesystem::path& file)
{
    try {
        plot::writeChart(chart, file);
        return true;
    } catch (const std::exception& e) {
        std::cerr << "kestrel-cli: " << failureMessage(e) << "\n";
        return false;
    }
}

} // namespace kestrel::cli
