// A host that shows nothing and answers No: the fuzzers only look for crashes.
#pragma once

#include "core/host.h"

namespace kestrel::fuzzing {

class NullHost : public Host {
public:
    void errorBox(const std::string&) override {}
    void plainBox(const std::string&) override {}
    void generalErrorBox(const std::string&) override {}
    bool confirm(const std::string&, bool) override { return false; }
    std::vector<std::filesystem::path> openFiles(const std::string&, const std::string&, bool) override { return {}; }
    void pumpMessages() override {}
    void setBusyCursor(bool) override {}
    bool openDocument(const std::string&) override { return false; }
};

} // namespace kestrel::fuzzing
