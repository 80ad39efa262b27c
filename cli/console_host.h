// The host of the command-line tool: the boxes that the window would show become
// lines on standard error (collected per file, so parallel files never interleave),
// confirmations are answered from the options, and there is no file dialog.
#pragma once

#include "core/host.h"

#include <string>
#include <vector>

namespace kestrel::cli {

class ConsoleHost : public Host {
public:
    explicit ConsoleHost(bool confirmAnswer = false) : confirmAnswer_(confirmAnswer) {}

    void errorBox(const std::string& text) override { record(text); }
    void plainBox(const std::string& text) override { record(text); }
    void generalErrorBox(const std::string& text) override { record(generalErrorText(text)); }
    bool confirm(const std::string& text, bool) override
    {
        lastQuestion = text;
        return confirmAnswer_;
    }
    std::vector<std::filesystem::path> openFiles(const std::string&, const std::string&, bool) override
    {
        return {};
    }
    void pumpMessages() override {}
    void setBusyCursor(bool) override {}
    bool openDocument(const std::string&) override { return false; }

    /// Every message in order, one per entry.
    std::vector<std::string> messages;
    /// The text of the last confirmation asked.
    std::string lastQuestion;

private:
    void record(const std::string& text) { messages.push_back(text); }
    bool confirmAnswer_;
};

} // namespace kestrel::cli
