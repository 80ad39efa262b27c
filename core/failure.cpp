#include "core/failure.h"
#include "core/host.h"

#include <new>

namespace kestrel {

std::string failureMessage(const std::exception& e)
{
    if (auto* f = dynamic_cast<const Failure*>(&e))
        return f->message();
    if (dynamic_cast<const std::bad_alloc*>(&e))
        return messages::outOfMemory;
    return e.what();
}

std::string generalErrorText(const std::string& message)
{
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.')
        return message + ".";
    return message;
}

} // namespace kestrel
