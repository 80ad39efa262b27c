// A scripted host for tests: records every box, answers confirmations from a queue
// (or a default), returns scripted file selections, and can run an action at a chosen
// pump (for example pressing Cancel while the second file is corrected).
#pragma once

#include "core/host.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kestrel::testing {

struct Box {
    enum Kind { error, plain, general, confirm } kind;
    std::string text;
    bool defaultYes = false;
};

class TestHost : public Host {
public:
    void errorBox(const std::string& text) override { boxes.push_back({Box::error, text}); }
    void plainBox(const std::string& text) override { boxes.push_back({Box::plain, text}); }
    void generalErrorBox(const std::string& text) override { boxes.push_back({Box::general, text}); }
    bool confirm(const std::string& text, bool defaultYes) override
    {
        boxes.push_back({Box::confirm, text, defaultYes});
        if (answers.empty())
            return defaultAnswer;
        const bool a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<std::filesystem::path> openFiles(const std::string& title, const std::string& filter,
                                                 bool multiple) override
    {
        dialogs.push_back({title, filter, multiple});
        if (selections.empty())
            return {};
        auto s = selections.front();
        selections.pop_front();
        if (!s.empty())
            std::filesystem::current_path(s.front().parent_path());
        return s;
    }
    void pumpMessages() override
    {
        ++pumps;
        if (onPump)
            onPump(pumps);
    }
    void setBusyCursor(bool busy) override { busyCursor = busy; }
    bool openDocument(const std::string& target) override
    {
        opened.push_back(target);
        return handlerFound;
    }

    /// Texts of the boxes of one kind, in order.
    std::vector<std::string> texts(Box::Kind kind) const
    {
        std::vector<std::string> out;
        for (const auto& b : boxes)
            if (b.kind == kind)
                out.push_back(b.text);
        return out;
    }

    struct Dialog {
        std::string title, filter;
        bool multiple;
    };

    std::vector<Box> boxes;
    std::deque<bool> answers;
    bool defaultAnswer = false;
    std::deque<std::vector<std::filesystem::path>> selections;
    std::vector<Dialog> dialogs;
    long pumps = 0;
    std::function<void(long)> onPump;
    bool busyCursor = false;
    std::vector<std::string> opened;
    /// False for a desktop without a program to open documents, pages or mail.
    bool handlerFound = true;
};

} // namespace kestrel::testing
