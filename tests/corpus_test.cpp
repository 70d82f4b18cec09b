// Every outside image, including malformed and hostile ones, goes through the
// engine: each either succeeds or fails with a text. The sanitizer build turns any
// memory fault on the way into a failed test.
#include "engine/compress.h"
#include "tests/test_support.h"

namespace {

class CorpusTest : public TempDirTest {};

}  // namespace

TEST_F(CorpusTest, EveryFileSucceedsOrFailsWithAText) {
  fs::path corpus = CorpusDir();
  ASSERT_TRUE(fs::is_directory(corpus)) << "no image corpus at " << corpus;
  int succeeded = 0, failed = 0;
  for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    for (int quality : {0, 100}) {
      fs::path out = dir_ / std::to_string(quality);
      fs::create_directories(out);
      CompressResult r;
      r.success = CompressImageFile(entry.path(), out, quality, &r);
      if (r.success) {
        ++succeeded;
        EXPECT_EQ(r.errorText, "");
        EXPECT_EQ(r.outputBytes, fs::file_size(r.outputPath)) << entry.path();
        EXPECT_GT(r.width, 0);
      } else {
        ++failed;
        EXPECT_FALSE(r.errorText.empty()) << entry.path();
      }
    }
  }
  EXPECT_GT(succeeded, 100);
  EXPECT_GT(failed, 10);  // the crashers and the text files
}
