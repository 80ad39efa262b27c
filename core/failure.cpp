#include "core/failure.h"
#include "core/host.h"
#include "core/report.h"

#include <new>
#include <stdexcept>

namespace kestrel {

std::string failureMessage(const std::exception& e)
{
    if (auto* f = dynamic_cast<const Failure*>(&e))
        return f->message();
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return messages::outOfMemory;
    // Bounds are checked everywhere; the library's own wording of a failed check
    // ("vector::_M_range_check: __n ...") means nothing to the user.
    if (dynamic_cast<const std::out_of_range*>(&e) || dynamic_cast<const std::length_error*>(&e))
        return messages::rangeError;
    return e.what();
}

std::string generalErrorText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

void showBox(Host& host, BoxKind kind, const std::string& text)
{
    switch (kind) {
    case BoxKind::error:
        host.errorBox(text);
        return;
    case BoxKind::plain:
        host.plainBox(text);
        return;
    case BoxKind::general:
        host.generalErrorBox(text);
        return;
    }
}

void showBoxes(Host& host, const std::vector<BoxReport>& reports)
{
    for (const BoxReport& r : reports)
        showBox(host, r.kind, r.text);
}

} // namespace kestrel
