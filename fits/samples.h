// The conversion of a data area's big-endian samples, in the build the processor runs
// best or in the baseline build, for the tests that compare both. Private to fits/.
#pragma once

#include <cstddef>

namespace kestrel {

/// `count` big-endian 4-byte samples as floats, bit for bit; `portable` asks for the
/// x86-64 baseline build even where the processor has AVX2.
void storeBigEndianFloats(const unsigned char* bytes, std::size_t count, float* out, bool portable = false);

} // namespace kestrel
