// Turning a caught failure into the report the user reads, the one way every routine
// does it: the failure's message followed directly by the routine's line ("... in
// function NAME."), shown in the routine's kind of box.
#pragma once

#include "core/failure.h"
#include "core/host.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

enum class BoxKind { error, plain, general };

/// One box a routine asked for: its kind and its text (for the general box, the raw
/// message; showing it adds the full stop).
struct BoxReport {
    BoxKind kind = BoxKind::error;
    std::string text;
    bool operator==(const BoxReport&) const = default;
};

/// Runs `body`; the message of a failure it throws, or nothing when it returned.
template <class Body> std::optional<std::string> caughtFailure(Body&& body)
{
    try {
        std::forward<Body>(body)();
        return std::nullopt;
    } catch (const std::exception& e) {
        return failureMessage(e);
    }
}

/// Shows `text` in a box of the given kind.
void showBox(Host& host, BoxKind kind, const std::string& text);
/// Shows the boxes in order.
void showBoxes(Host& host, const std::vector<BoxReport>& reports);

/// A host for work done away from the user: it keeps the boxes asked for, in order,
/// for a front end to show or print later, answers every question No, and has no
/// window to pump, no dialog and no desktop.
class RecordingHost : public Host {
public:
    void errorBox(const std::string& text) override { reports.push_back({BoxKind::error, text}); }
    void plainBox(const std::string& text) override { reports.push_back({BoxKind::plain, text}); }
    void generalErrorBox(const std::string& text) override { reports.push_back({BoxKind::general, text}); }
    bool confirm(const std::string&, bool) override { return false; }
    std::vector<std::filesystem::path> openFiles(const std::string&, const std::string&, bool) override { return {}; }
    void pumpMessages() override {}
    void setBusyCursor(bool) override {}
    bool openDocument(const std::string&) override { return false; }

    std::vector<BoxReport> reports;
};

/// Runs `body` under a routine's failure handler: a failure is shown as its message
/// followed by `line` (from inFunction or inProcedure; empty for the general box) and
/// gives false. The routine then returns whatever its result held at that point.
template <class Body>
bool reportFailures(Host& host, const std::string& line, Body&& body, BoxKind kind = BoxKind::error)
{
    if (const auto message = caughtFailure(std::forward<Body>(body))) {
        showBox(host, kind, *message + line);
        return false;
    }
    return true;
}

} // namespace kestrel
