#include "fits/image.h"

#include "fits/cards.h"

#include <algorithm>
#include <cstring>

namespace kestrel {
namespace {

constexpr std::size_t cardsPerRecord = 36;

Card blankCard()
{
    Card card;
    card.fill(' ');
    return card;
}

Card textCard(std::string_view text)
{
    Card card = blankCard();
    std::memcpy(card.data(), text.data(), std::min(text.size(), card.size()));
    return card;
}

/// "KEYWORD =" and the value right-justified to column 30, as FITS writes numbers.
Card valueCard(std::string_view keyword, const std::string& value)
{
    std::string text(keyword);
    text.resize(8, ' ');
    text += "= ";
    text += std::string(value.size() < 20 ? 20 - value.size() : 0, ' ') + value;
    return textCard(text);
}

} // namespace

std::vector<Card> floatHeaderRecords(std::int32_t width, std::int32_t height, const std::vector<std::string>& extra)
{
    std::vector<Card> cards{valueCard("SIMPLE", "T"), valueCard("BITPIX", "-32"), valueCard("NAXIS", "2"),
                            valueCard("NAXIS1", std::to_string(width)), valueCard("NAXIS2", std::to_string(height))};
    for (const std::string& text : extra)
        cards.push_back(textCard(text));
    cards.push_back(textCard("END"));
    while (cards.size() % cardsPerRecord != 0)
        cards.push_back(blankCard());
    return cards;
}

Image floatImageFromPixels(std::int32_t width, std::int32_t height, std::vector<float> pixels,
                           std::vector<Card> rawHeader)
{
    return floatImageFromPixels(width, height, PixelBuffer<float>(pixels), std::move(rawHeader));
}

Image floatImageFromPixels(std::int32_t width, std::int32_t height, PixelBuffer<float> pixels,
                           std::vector<Card> rawHeader)
{
    if (width < 0 || height < 0 ||
        static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) != pixels.size())
        failRange();
    Image image;
    image.rawHeader = rawHeader.empty() ? floatHeaderRecords(width, height) : std::move(rawHeader);
    image.headerCards = cardsBeforeEnd(image.rawHeader);
    image.imageWidth = width;
    image.imageHeight = height;
    image.floatPixels = std::move(pixels);
    return image;
}

std::vector<std::string> cardsBeforeEnd(std::span<const Card> rawHeader)
{
    std::vector<std::string> cards;
    for (const Card& card : rawHeader) {
        const std::string_view text(card.data(), card.size());
        if (cards::isEndCard(text))
            break;
        cards.emplace_back(text);
    }
    return cards;
}

} // namespace kestrel
