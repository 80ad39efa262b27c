// Any text through the number conversions: the status is always a position inside the
// text or one past it, and a fixed-point text of a converted real converts back.
#include "core/numbers.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size)
{
    using namespace kestrel;
    if (size == 0)
        return 0;
    const int decimals = data[0] % 128 - 8; // a few negative counts too
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const int limit = static_cast<int>(text.size()) + 1;

    const auto whole = parseInteger(text);
    if (whole.status < 0 || whole.status > limit)
        std::abort();

    const auto real = parseReal(text);
    if (real.status < 0 || real.status > limit || (real.ok() && !std::isfinite(real.value)))
        std::abort();
    if (!real.ok() && real.value != 0)
        std::abort();

    trimBlanks(text);
    const std::string fixed = formatFixed(real.value, decimals, decimals);
    if (real.ok() && !parseReal(fixed).ok())
        std::abort();
    if (formatFixedTrimmed(real.value, decimals).find(' ') != std::string::npos)
        std::abort();
    return 0;
}
