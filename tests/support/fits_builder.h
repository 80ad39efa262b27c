// Builds small FITS files in tests: header cards padded to 80 characters, records of
// 2880 bytes, big-endian samples.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kestrel::testing {

/// An 80-character card "KEYWORD = value" (value right-justified to column 30 for
/// numbers), or a raw text padded with blanks.
std::string card(const std::string& keyword, const std::string& value, const std::string& comment = "");
std::string rawCard(const std::string& text);

/// Header records: the cards, then END, padded with blank cards to whole records.
std::string headerRecords(const std::vector<std::string>& cards);

/// The usual header of a float image of the given size, with extra cards before END.
std::vector<std::string> floatImageCards(int width, int height, const std::vector<std::string>& extra = {});
/// The usual header of a 16-bit unsigned image (BZERO 32768, BSCALE 1).
std::vector<std::string> uint16ImageCards(int width, int height, const std::vector<std::string>& extra = {});

/// Big-endian data bytes padded with zeros to whole 2880-byte records.
std::string floatData(const std::vector<float>& samples, bool pad = true);
/// Stored values are the unsigned samples minus 32768, as 16-bit unsigned FITS holds them.
std::string uint16Data(const std::vector<std::uint16_t>& samples, bool pad = true);

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

/// A fresh empty folder under the system's temporary folder, removed by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

} // namespace kestrel::testing
