#include "engine/display_text.h"

#include "engine/compress_result.h"
#include "tests/test_support.h"

// Run in both builds: the Windows C runtime formats numbers its own way, and the
// texts must come out the same.
TEST(FormatSize, EveryRangeAndThreshold) {
  const std::uint64_t KB = 1024, MB = KB * 1024, GB = MB * 1024;
  const struct { std::uint64_t bytes; const char* text; } cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1075, "1.0 KB"},
      {1076, "1.1 KB"},
      {1280, "1.2 KB"},  // exactly 1.25: the half goes to the even digit
      {1792, "1.8 KB"},  // exactly 1.75
      {MB - 52, "1023.9 KB"},
      {MB - 51, "1024.0 KB"},
      {MB, "1.00 MB"},
      {1179648, "1.12 MB"},  // exactly 1.125
      {GB - 5 * KB, "1024.00 MB"},
      {GB, "1.00 GB"},
      {1024 * GB, "1024.00 GB"},
      {SIZE_UNKNOWN, "17179869184.00 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(FormatFixed, RoundsHalvesToEvenLikeTheSizes) {
  EXPECT_EQ(FormatFixed(67.55, 1), "67.5");  // 67.55 is stored just below the half
  EXPECT_EQ(FormatFixed(0.25, 1), "0.2");
  EXPECT_EQ(FormatFixed(-4.5, 1), "-4.5");
  EXPECT_EQ(FormatFixed(0.0, 1), "0.0");
  EXPECT_EQ(FormatFixed(100.0, 1), "100.0");
}

TEST(ChannelLabel, NamesEachCountAndUnknown) {
  EXPECT_STREQ(ChannelLabel(1), "灰度(1通道)");
  EXPECT_STREQ(ChannelLabel(2), "灰度+Alpha(2通道)");
  EXPECT_STREQ(ChannelLabel(3), "RGB(3通道)");
  EXPECT_STREQ(ChannelLabel(4), "RGBA(4通道)");
  for (int other : {0, 5, -1}) EXPECT_STREQ(ChannelLabel(other), "未知通道");
}

TEST(ChannelLabel, WideAndNarrowFormsHoldTheSameCharacters) {
  for (int channels = -1; channels <= 5; ++channels)
    EXPECT_EQ(WideToUtf8ForTest(ChannelLabelW(channels)), ChannelLabel(channels)) << channels;
}

TEST(DisplaySafeText, HidesWhatCouldRewriteTheScreen) {
  const struct { std::string in, out; } cases[] = {
      {"照片🙂 a_1.jpg", "照片🙂 a_1.jpg"},                       // kept as it is
      {"a\x1b[2K\rb.jpg", "a?[2K?b.jpg"},                          // C0: escape, return
      {"a\x7f\xc2\x9b" "b", "a??b"},                               // DEL, C1 (CSI)
      {"x\xe2\x80\xaegpj.png", "x?gpj.png"},                       // right-to-left override
      {"\xe2\x81\xa6i\xe2\x81\xa9", "?i?"},                        // isolate marks
      {"\xe2\x80\x8f", "\xe2\x80\x8f"},                            // a plain RLM mark stays
      {"a\xff" "b\xc3", "a\xef\xbf\xbd" "b\xef\xbf\xbd"},          // not UTF-8
      {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                      // overlong: each byte
      {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},          // a surrogate's bytes
  };
  for (const auto& c : cases) EXPECT_EQ(DisplaySafeText(c.in), c.out) << c.in;
  const std::wstring wide = {L'a', 0x1b, 0x202e, 0xd83d, 0xde42, 0xd800, L'b', 0xdc00};
  EXPECT_EQ(DisplaySafeTextW(wide),
            (std::wstring{L'a', L'?', L'?', 0xd83d, 0xde42, 0xfffd, L'b', 0xfffd}));
}
