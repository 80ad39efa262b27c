#include "fits/checksum.h"

#include "fits/cards.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#if defined(KESTREL_HAVE_CFITSIO)
#include <fitsio.h>
#endif

namespace kestrel {

void OnesComplementSum::add(const void* bytes, std::size_t size)
{
    const auto* p = static_cast<const unsigned char*>(bytes);
    const std::size_t whole = size / 4 * 4;
    std::uint64_t high = high_;
    std::uint64_t low = low_;
    for (std::size_t i = 0; i < whole; i += 4) {
        high += std::uint64_t{p[i]} << 8 | p[i + 1];
        low += std::uint64_t{p[i + 2]} << 8 | p[i + 3];
    }
    if (whole < size) {
        unsigned char last[4] = {};
        std::memcpy(last, p + whole, size - whole);
        high += std::uint64_t{last[0]} << 8 | last[1];
        low += std::uint64_t{last[2]} << 8 | last[3];
    }
    high_ = high;
    low_ = low;
}

void OnesComplementSum::add(std::uint32_t sum)
{
    high_ += sum >> 16;
    low_ += sum & 0xFFFF;
}

std::uint32_t OnesComplementSum::value() const
{
    // A carry out of either half goes into the other: that is what makes the sum wrap
    // around end to end.
    std::uint64_t high = high_;
    std::uint64_t low = low_;
    while ((high >> 16) != 0 || (low >> 16) != 0) {
        const std::uint64_t highCarry = high >> 16;
        const std::uint64_t lowCarry = low >> 16;
        high = (high & 0xFFFF) + lowCarry;
        low = (low & 0xFFFF) + highCarry;
    }
    return static_cast<std::uint32_t>(high << 16 | low);
}

namespace {

std::string_view text(const Card& card) { return {card.data(), card.size()}; }

/// The indices of the cards before END whose keyword is `keyword`.
std::vector<std::size_t> cardsNamed(std::span<const Card> rawHeader, std::string_view keyword)
{
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < rawHeader.size(); ++i) {
        if (cards::isEndCard(text(rawHeader[i])))
            break;
        if (cards::keywordField(text(rawHeader[i])) == keyword)
            found.push_back(i);
    }
    return found;
}

/// A string value's characters, without its quotes and trailing blanks.
std::string stringValue(const Card& card)
{
    const std::string_view value = cards::valueText(text(card));
    if (value.empty() || value.front() != '\'')
        return std::string(cards::numberText(value));
    const std::size_t close = value.find('\'', 1);
    std::string inner(value.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1));
    inner.erase(inner.find_last_not_of(' ') + 1);
    return inner;
}

/// `card` with the value `quoted` starting in column 11 and the card's comment after it,
/// at its column when the new value leaves room, else moved left to fit.
Card withValue(const Card& card, std::string_view keyword, const std::string& quoted)
{
    const std::string_view old = text(card);
    // Where the old value ends: after its closing quote, or at its comment.
    std::size_t end = old.size();
    const std::size_t open = old.find('\'', 10);
    const std::size_t slash = old.find('/', 10);
    if (open != std::string_view::npos && (slash == std::string_view::npos || open < slash)) {
        const std::size_t close = old.find('\'', open + 1);
        end = close == std::string_view::npos ? old.size() : close + 1;
    } else if (slash != std::string_view::npos) {
        end = slash;
    }
    std::string rest(old.substr(end));
    std::string line(keyword);
    line.resize(8, ' ');
    line += "= " + quoted;
    if (line.size() < end)
        line.resize(end, ' ');
    // The comment moves left over blanks only; what does not fit is cut at column 80.
    while (line.size() + rest.size() > card.size() && rest.size() > 1 && rest[0] == ' ' && rest[1] == ' ')
        rest.erase(0, 1);
    line += rest;
    line.resize(card.size(), ' ');
    Card out;
    std::memcpy(out.data(), line.data(), out.size());
    return out;
}

std::uint32_t headerSum(std::span<const Card> rawHeader)
{
    OnesComplementSum sum;
    sum.add(rawHeader.data(), rawHeader.size_bytes());
    return sum.value();
}

} // namespace

bool holdsChecksumCards(std::span<const Card> rawHeader)
{
    return !cardsNamed(rawHeader, "CHECKSUM").empty() || !cardsNamed(rawHeader, "DATASUM").empty();
}

std::string unmatchedChecksums(std::span<const Card> rawHeader, std::uint32_t dataSum)
{
    std::vector<std::string> unmatched;
    const auto checksums = cardsNamed(rawHeader, "CHECKSUM");
    if (!checksums.empty()) {
        OnesComplementSum hdu;
        hdu.add(headerSum(rawHeader));
        hdu.add(dataSum);
        if (hdu.value() != 0xFFFFFFFFu)
            unmatched.emplace_back("CHECKSUM");
    }
    for (const std::size_t i : cardsNamed(rawHeader, "DATASUM"))
        if (stringValue(rawHeader[i]) != std::to_string(dataSum)) {
            unmatched.emplace_back("DATASUM");
            break;
        }
    if (unmatched.size() == 2)
        return unmatched[0] + " and " + unmatched[1];
    return unmatched.empty() ? std::string() : unmatched[0];
}

void updateChecksumCards(std::vector<Card>& rawHeader, std::uint32_t dataSum)
{
    for (const std::size_t i : cardsNamed(rawHeader, "DATASUM"))
        rawHeader[i] = withValue(rawHeader[i], "DATASUM", "'" + std::to_string(dataSum) + "'");
    const auto checksums = cardsNamed(rawHeader, "CHECKSUM");
    if (checksums.empty())
        return;
    for (const std::size_t i : checksums)
        rawHeader[i] = withValue(rawHeader[i], "CHECKSUM", "'0000000000000000'");
    OnesComplementSum hdu;
    hdu.add(headerSum(rawHeader));
    hdu.add(dataSum);
    rawHeader[checksums.front()] = withValue(rawHeader[checksums.front()], "CHECKSUM",
                                             "'" + encodedChecksum(hdu.value()) + "'");
}

std::string encodedChecksumOwn(std::uint32_t sum)
{
    // Each byte of the complement is spread over four characters of 0 to z, which sum
    // back to it; pairs are moved apart until no character is punctuation.
    static constexpr unsigned char excluded[] = {0x3a, 0x3b, 0x3c, 0x3d, 0x3e, 0x3f, 0x40,
                                                 0x5b, 0x5c, 0x5d, 0x5e, 0x5f, 0x60};
    const auto isExcluded = [](unsigned char c) {
        return std::find(std::begin(excluded), std::end(excluded), c) != std::end(excluded);
    };
    const std::uint32_t value = ~sum;
    unsigned char spread[16];
    for (int byteIndex = 0; byteIndex < 4; ++byteIndex) {
        const unsigned byte = (value >> (24 - 8 * byteIndex)) & 0xFF;
        unsigned char ch[4];
        std::fill(std::begin(ch), std::end(ch), static_cast<unsigned char>(byte / 4 + '0'));
        ch[0] = static_cast<unsigned char>(ch[0] + byte % 4);
        for (bool moved = true; moved;) {
            moved = false;
            for (int j = 0; j < 4; j += 2)
                while (isExcluded(ch[j]) || isExcluded(ch[j + 1])) {
                    ++ch[j];
                    --ch[j + 1];
                    moved = true;
                }
        }
        for (int j = 0; j < 4; ++j)
            spread[4 * j + byteIndex] = ch[j];
    }
    // The value starts one byte into a 32-bit word of the header: rotated by one.
    std::string out(16, ' ');
    for (int i = 0; i < 16; ++i)
        out[static_cast<std::size_t>(i)] = static_cast<char>(spread[(i + 15) % 16]);
    return out;
}

std::string encodedChecksum(std::uint32_t sum)
{
#if defined(KESTREL_HAVE_CFITSIO)
    char ascii[17] = {};
    fits_encode_chksum(sum, 1, ascii);
    return std::string(ascii, 16);
#else
    return encodedChecksumOwn(sum);
#endif
}

} // namespace kestrel
