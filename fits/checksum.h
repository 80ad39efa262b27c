// The checksums a FITS header may carry: DATASUM, the 1's-complement sum of the data
// unit's 32-bit words as a decimal string, and CHECKSUM, 16 characters that make the
// whole HDU (header and data) sum to all ones. Other programs report a file whose cards
// do not match its bytes as damaged, so the writer gives a corrected file new values.
#pragma once

#include "fits/image.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrel {

/// The 1's-complement sum of big-endian 32-bit words, fed in pieces. Every piece but the
/// last must hold whole words; a last piece cut short is summed as if padded with zeros.
class OnesComplementSum {
public:
    void add(const void* bytes, std::size_t size);
    void add(std::uint32_t sum);
    std::uint32_t value() const;

private:
    // The high and the low halves of the words, summed apart; their carries are folded
    // in only when the value is asked for.
    std::uint64_t high_ = 0;
    std::uint64_t low_ = 0;
};

/// True when the header, before END, has a CHECKSUM or a DATASUM card.
bool holdsChecksumCards(std::span<const Card> rawHeader);

/// The checksum cards whose values the header and a data unit summing to `dataSum` do
/// not match ("CHECKSUM", "DATASUM" or "CHECKSUM and DATASUM"); empty when all match.
std::string unmatchedChecksums(std::span<const Card> rawHeader, std::uint32_t dataSum);

/// Sets the header's DATASUM cards to `dataSum` and its CHECKSUM cards to the value that
/// makes header and data sum to all ones, in the cards where they stand, each card's
/// comment kept; every other card is left as it is.
void updateChecksumCards(std::vector<Card>& rawHeader, std::uint32_t dataSum);

/// The 16 characters of CHECKSUM for an HDU whose sum, with CHECKSUM set to sixteen
/// zeros, is `sum`; for a value that starts in column 12 of its card.
std::string encodedChecksum(std::uint32_t sum);
/// The same, computed here without the FITS library (what a build without it uses).
std::string encodedChecksumOwn(std::uint32_t sum);

} // namespace kestrel
