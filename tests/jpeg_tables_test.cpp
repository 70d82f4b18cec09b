#include "engine/codecs/jpeg_tables.h"

#include <string>

#include "engine/utf8.h"
#include "tests/test_support.h"

namespace {

class JpegTablesTest : public TempDirTest {};

bool Fits(const std::string& bytes) {
  return JpegHuffmanTablesFit(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// A DHT segment holding one table whose 16 counts are `counts`, symbols zero.
std::string Dht(const std::string& counts) {
  std::size_t symbols = 0;
  for (unsigned char c : counts) symbols += c;
  const std::size_t length = 2 + 1 + 16 + symbols;
  std::string s = "\xFF\xC4";
  s += static_cast<char>(length >> 8);
  s += static_cast<char>(length & 0xFF);
  s += '\x10';
  s += counts;
  s += std::string(symbols, '\0');
  return s;
}

const std::string kSoi = "\xFF\xD8";

}  // namespace

TEST_F(JpegTablesTest, RealJpegsPass) {
  MakeJpeg(dir_ / "a.jpg", 40, 30, 3);
  EXPECT_TRUE(Fits(ReadBytes(dir_ / "a.jpg")));
  EXPECT_TRUE(Fits(ReadBytes(TestDataDir() / "gray.jpg")));
  EXPECT_TRUE(Fits(ReadBytes(TestDataDir() / "rgb.jpg")));
}

TEST_F(JpegTablesTest, NonJpegAndShortDataPass) {
  EXPECT_TRUE(Fits(""));
  EXPECT_TRUE(Fits("\xFF"));
  EXPECT_TRUE(Fits(ReadBytes(TestDataDir() / "rgba.png")));
  EXPECT_TRUE(Fits(kSoi));
}

TEST_F(JpegTablesTest, ExactlyTwoHundredFiftySixCodesPass) {
  EXPECT_TRUE(Fits(kSoi + Dht(std::string(15, '\0') + std::string(1, '\xFF')) + "\xFF\xD9"));
  EXPECT_TRUE(Fits(kSoi + Dht(std::string(14, '\0') + "\xFF\x01") + "\xFF\xD9"));
}

TEST_F(JpegTablesTest, MoreThanTwoHundredFiftySixCodesFail) {
  EXPECT_FALSE(Fits(kSoi + Dht(std::string(14, '\0') + "\xFF\x02") + "\xFF\xD9"));
  EXPECT_FALSE(Fits(kSoi + Dht(std::string(16, '\x20'))));
}

TEST_F(JpegTablesTest, FillBytesBeforeTheStartOfImageAreSkipped) {
  const std::string bad = Dht(std::string(16, '\x20'));
  EXPECT_FALSE(Fits(std::string(12, '\xFF') + "\xD8" + bad));
  EXPECT_TRUE(Fits(std::string(12, '\xFF')));
  EXPECT_TRUE(Fits("\x00\xFF\xD8" + bad));  // not JPEG to the decoder
}

TEST_F(JpegTablesTest, ATableAfterImageDataIsFound) {
  // Progressive files define tables between scans: SOS header, entropy bytes
  // with a stuffed 0xFF and a restart marker, then the bad table.
  const std::string sos = std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
  const std::string scan = std::string("\x12\xFF\x00\x34\xFF\xD0\x56", 7);
  EXPECT_FALSE(Fits(kSoi + sos + scan + Dht(std::string(16, '\x20'))));
  EXPECT_TRUE(Fits(kSoi + sos + scan + "\xFF\xD9"));
}

TEST_F(JpegTablesTest, ATableRunningPastItsSegmentIsCheckedAsTheDecoderReadsIt) {
  // The segment length says 5 bytes, but the decoder reads a whole table header.
  std::string s = kSoi + std::string("\xFF\xC4\x00\x05\x10", 5) + std::string(16, '\x20');
  EXPECT_FALSE(Fits(s));
}

TEST_F(JpegTablesTest, FilesReadInBlocksGetTheSameVerdicts) {
  const std::string sos = std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
  std::string longScan(300000, '\x5A');  // many blocks of entropy data
  for (std::size_t i = 1000; i < longScan.size(); i += 70001) longScan.replace(i, 2, "\xFF\x00", 2);
  const std::string bad = Dht(std::string(16, '\x20'));
  const std::string cases[] = {
      kSoi + sos + longScan + bad,
      kSoi + sos + longScan + "\xFF\xD9",
      kSoi + std::string("\xFF\xFE\xFF\xFF", 4) + std::string(65533, 'c') + bad,  // a long comment
      std::string(12, '\xFF') + "\xD8" + bad,
      ReadBytes(TestDataDir() / "rgb.jpg"),
      "",
  };
  for (const std::string& bytes : cases) {
    // In blocks, as a file is read whole: 7 bytes a block puts markers across them.
    std::vector<const unsigned char*> blocks;
    for (std::size_t at = 0; at < bytes.size(); at += 7)
      blocks.push_back(reinterpret_cast<const unsigned char*>(bytes.data()) + at);
    EXPECT_EQ(JpegHuffmanTablesFitInBlocks(blocks.data(), 7, bytes.size()), Fits(bytes));
    // Both verdicts in one walk, the blocks asked for as they are read.
    const JpegChecks checks =
        CheckJpegBlocks([&](std::size_t index) { return blocks[index]; }, 7, bytes.size());
    EXPECT_EQ(checks.tablesFit, Fits(bytes));
    EXPECT_EQ(checks.scansWithinBound,
              JpegScanCountWithinBoundInBlocks(blocks.data(), 7, bytes.size()));
  }
  EXPECT_FALSE(Fits(cases[0]));
  EXPECT_FALSE(Fits(cases[2]));
}
