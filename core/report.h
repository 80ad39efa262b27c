// Turning a caught failure into the report the user reads, the one way every routine
// does it: the failure's message followed directly by the routine's line ("... in
// function NAME."), shown in the routine's kind of box.
#pragma once

#include "core/failure.h"
#include "core/host.h"

#include <optional>
#include <string>
#include <utility>

namespace kestrel {

enum class BoxKind { error, plain, general };

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
