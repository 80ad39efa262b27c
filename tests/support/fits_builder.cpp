#include "tests/support/fits_builder.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace kestrel::testing {

std::string rawCard(const std::string& text)
{
    std::string c = text.substr(0, 80);
    c.resize(80, ' ');
    return c;
}

std::string card(const std::string& keyword, const std::string& value, const std::string& comment)
{
    std::string c = keyword;
    c.resize(8, ' ');
    c += "= ";
    std::string v = value;
    if (!v.empty() && v[0] != '\'' && v.size() < 20)
        v.insert(0, 20 - v.size(), ' ');
    c += v;
    if (!comment.empty())
        c += " / " + comment;
    return rawCard(c);
}

std::string headerRecords(const std::vector<std::string>& cards)
{
    std::string out;
    for (const auto& c : cards)
        out += rawCard(c);
    out += rawCard("END");
    while (out.size() % 2880 != 0)
        out += std::string(80, ' ');
    return out;
}

std::vector<std::string> floatImageCards(int width, int height, const std::vector<std::string>& extra)
{
    std::vector<std::string> cards = {card("SIMPLE", "T"), card("BITPIX", "-32"), card("NAXIS", "2"),
                                      card("NAXIS1", std::to_string(width)),
                                      card("NAXIS2", std::to_string(height))};
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
}

std::vector<std::string> uint16ImageCards(int width, int height, const std::vector<std::string>& extra)
{
    std::vector<std::string> cards = {card("SIMPLE", "T"), card("BITPIX", "16"), card("NAXIS", "2"),
                                      card("NAXIS1", std::to_string(width)),
                                      card("NAXIS2", std::to_string(height)), card("BZERO", "32768"),
                                      card("BSCALE", "1")};
    cards.insert(cards.end(), extra.begin(), extra.end());
    return cards;
}

std::string floatData(const std::vector<float>& samples, bool pad)
{
    std::string out(samples.size() * 4, '\0');
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto u = std::bit_cast<std::uint32_t>(samples[i]);
        out[4 * i] = static_cast<char>(u >> 24);
        out[4 * i + 1] = static_cast<char>(u >> 16);
        out[4 * i + 2] = static_cast<char>(u >> 8);
        out[4 * i + 3] = static_cast<char>(u);
    }
    if (pad)
        out.resize((out.size() + 2879) / 2880 * 2880, '\0');
    return out;
}

std::string uint16Data(const std::vector<std::uint16_t>& samples, bool pad)
{
    std::string out(samples.size() * 2, '\0');
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const std::uint16_t stored = static_cast<std::uint16_t>(samples[i] ^ 0x8000u);
        out[2 * i] = static_cast<char>(stored >> 8);
        out[2 * i + 1] = static_cast<char>(stored);
    }
    if (pad)
        out.resize((out.size() + 2879) / 2880 * 2880, '\0');
    return out;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write test file " + path.string());
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read test file " + path.string());
    return std::string(std::istreambuf_iterator<char>(f), {});
}

TempDir::TempDir()
{
    // A fresh name that no other test takes: creating the folder fails when it exists.
    static std::random_device seed;
    std::mt19937 random(seed());
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = "kestrel-test-";
        for (int i = 0; i < 8; ++i)
            name += "abcdefghijklmnopqrstuvwxyz0123456789"[random() % 36];
        if (std::filesystem::create_directory(base / name)) {
            path_ = base / name;
            std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

} // namespace kestrel::testing
