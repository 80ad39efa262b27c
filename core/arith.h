// Arithmetic as Kestrel's numbers are defined: intermediates in extended precision
// (x87, 64-bit mantissa), rounding halves to even, and the arithmetic traps that turn
// a 0/0, a division by zero, an overflow or a comparison with NaN into a failure
// instead of a silent NaN or infinity.
#pragma once

#include "core/failure.h"

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace kestrel {

static_assert(std::numeric_limits<long double>::digits == 64,
              "Kestrel needs an 80-bit extended long double (x86-64): band positions such as "
              "Round(0.002 * 750) differ in double precision");

using Extended = long double;

/// Rounds an extended value to double; a finite value too large for a double overflows.
inline double toDouble(Extended x)
{
    const double d = static_cast<double>(x);
    if (std::isinf(d) && !std::isinf(x))
        throw Failure(messages::overflow);
    return d;
}

/// Rounds an extended value to single precision, trapping overflow.
inline float toSingle(Extended x)
{
    const float f = static_cast<float>(x);
    if (std::isinf(f) && !std::isinf(x))
        throw Failure(messages::overflow);
    return f;
}

/// `acc + v` formed in extended precision and stored back as a double: the running
/// sums of the band windows and the background are kept this way.
inline double addStored(double acc, Extended v)
{
    return toDouble(static_cast<Extended>(acc) + v);
}

/// a / b with the traps: 0/0 and NaN are invalid operations, x/0 a division by zero.
inline Extended divide(Extended a, Extended b)
{
    if (std::isnan(a) || std::isnan(b))
        failInvalidOperation();
    if (b == 0) {
        if (a == 0)
            failInvalidOperation();
        throw Failure(messages::divisionByZero);
    }
    const Extended q = a / b;
    if (std::isinf(q) && !std::isinf(a))
        throw Failure(messages::overflow);
    return q;
}

/// Any comparison that involves a NaN is an invalid operation.
inline void requireOrdered(Extended a, Extended b)
{
    if (std::isnan(a) || std::isnan(b))
        failInvalidOperation();
}

/// Nearest integer, halves to the even neighbour; NaN and values beyond 64 bits are
/// invalid operations.
inline std::int64_t roundHalfEven(Extended x)
{
    if (std::isnan(x) || std::fabs(x) >= 9223372036854775808.0L)
        failInvalidOperation();
    Extended r = std::floor(x);
    const Extended diff = x - r;
    if (diff > 0.5L || (diff == 0.5L && std::fmod(r, 2.0L) != 0))
        r += 1;
    return static_cast<std::int64_t>(r);
}

/// Round to a 32-bit signed integer; a result outside that range is a range failure.
inline std::int32_t roundToInt32(Extended x)
{
    const std::int64_t r = roundHalfEven(x);
    if (r < std::numeric_limits<std::int32_t>::min() || r > std::numeric_limits<std::int32_t>::max())
        failRange();
    return static_cast<std::int32_t>(r);
}

/// Truncation toward zero to a 32-bit signed integer, with the same range rule.
inline std::int32_t truncToInt32(Extended x)
{
    if (std::isnan(x) || std::fabs(x) >= 9223372036854775808.0L)
        failInvalidOperation();
    const Extended t = std::trunc(x);
    if (t < std::numeric_limits<std::int32_t>::min() || t > std::numeric_limits<std::int32_t>::max())
        failRange();
    return static_cast<std::int32_t>(t);
}

} // namespace kestrel
