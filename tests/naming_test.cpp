#include "engine/naming.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "engine/utf8.h"
#include "tests/test_support.h"

namespace {

class NamingTest : public TempDirTest {
 protected:
  void Touch(const std::string& name) { WriteBytes(dir_ / U8(name), "x"); }
  std::string Pick(const std::string& fileName) {
    std::string error;
    fs::path chosen = MakeUniqueOutputPath(dir_, U8(fileName), &error);
    EXPECT_EQ(error, "");
    EXPECT_EQ(chosen.parent_path(), dir_);
    return PathToDisplayUtf8(chosen.filename());
  }
};

bool CaseInsensitiveFileSystem(const fs::path& dir) {
  WriteBytes(dir / "CaseProbe", "x");
  std::error_code ec;
  bool insensitive = fs::exists(dir / "caseprobe", ec);
  fs::remove(dir / "CaseProbe", ec);
  return insensitive;
}

}  // namespace

TEST_F(NamingTest, TakesTheLowestFreeNumber) {
  Touch("photo.jpg");
  Touch("photo_1.jpg");
  EXPECT_EQ(Pick("photo.jpg"), "photo_2.jpg");
  EXPECT_EQ(Pick("photo.png"), "photo.png");
  EXPECT_EQ(Pick("photo_1.jpg"), "photo_1_1.jpg");  // existing suffixes are not parsed
  Touch("archive.tar.png");
  EXPECT_EQ(Pick("archive.tar.png"), "archive.tar_1.png");
  Touch("photo_3.jpg");
  EXPECT_EQ(Pick("photo.jpg"), "photo_2.jpg");  // gaps are filled first
}

TEST_F(NamingTest, LetterCaseFollowsTheFileSystem) {
  Touch("photo.jpg");
  Touch("photo_1.jpg");
  EXPECT_EQ(Pick("Photo.JPG"), CaseInsensitiveFileSystem(dir_) ? "Photo_2.JPG" : "Photo.JPG");
}

TEST_F(NamingTest, NamesWithoutOrWithOnlyALeadingDot) {
  Touch("name");
  EXPECT_EQ(Pick("name"), "name_1");
  Touch(".png");
  EXPECT_EQ(Pick(".png"), ".png_1");
}

TEST_F(NamingTest, AFolderAtTheCandidateCountsAsTaken) {
  fs::create_directory(dir_ / "photo.jpg");
  EXPECT_EQ(Pick("photo.jpg"), "photo_1.jpg");
}

TEST_F(NamingTest, KeepsEveryCharacterOfNonAsciiNames) {
  Touch("照片🙂.jpg");
  EXPECT_EQ(Pick("照片🙂.jpg"), "照片🙂_1.jpg");
}

TEST_F(NamingTest, MissingOutputFolderGivesThePlainName) {
  std::string error;
  fs::path chosen = MakeUniqueOutputPath(dir_ / "missing", "a.png", &error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(chosen, dir_ / "missing" / "a.png");
}

TEST_F(NamingTest, JoinsWithThePlatformSeparator) {
  EXPECT_EQ(JoinOutputPath("", "a.png").native(), fs::path("a.png").native());
#if defined(_WIN32)
  EXPECT_EQ(JoinOutputPath(L"out", L"a.png").native(), L"out\\a.png");
  EXPECT_EQ(JoinOutputPath(L"out\\", L"a.png").native(), L"out\\a.png");
  EXPECT_EQ(JoinOutputPath(L"out/", L"a.png").native(), L"out/a.png");
  EXPECT_EQ(JoinOutputPath(L"C:", L"a.png").native(), L"C:a.png");
  EXPECT_EQ(JoinOutputPath(L"C:\\", L"a.png").native(), L"C:\\a.png");
#else
  EXPECT_EQ(JoinOutputPath("out", "a.png").native(), "out/a.png");
  EXPECT_EQ(JoinOutputPath("out/", "a.png").native(), "out/a.png");
  EXPECT_EQ(JoinOutputPath("out\\", "a.png").native(), "out\\/a.png");  // a name character here
#endif
}

#if !defined(_WIN32)
TEST_F(NamingTest, AnythingAtTheNameMakesItTaken) {
  // A dangling or looping link, a FIFO: nothing is ever created through or over
  // them, so each takes its number like a file does.
  fs::create_symlink(dir_ / "nowhere.jpg", dir_ / "photo.jpg");
  EXPECT_EQ(Pick("photo.jpg"), "photo_1.jpg");
  fs::create_symlink(dir_ / "photo_1.jpg", dir_ / "photo_1.jpg.tmp");
  fs::rename(dir_ / "photo_1.jpg.tmp", dir_ / "photo_1.jpg");  // a link to itself
  ASSERT_EQ(mkfifo((dir_ / "photo_2.jpg").c_str(), 0600), 0);
  EXPECT_EQ(Pick("photo.jpg"), "photo_3.jpg");
  fs::create_symlink(dir_ / "a.jpg", dir_ / "a_link.jpg");
  Touch("a.jpg");
  EXPECT_EQ(Pick("a_link.jpg"), "a_link_1.jpg");  // a link to a file is taken
}

TEST_F(NamingTest, ANumberThatMakesTheNameTooLongShortensTheStem) {
  // 248 letters and a three-byte character: 255 bytes with ".png", the longest
  // name Linux takes. "_1" does not fit; the whole character gives way, not a part.
  const std::string stem = std::string(248, 'n') + "照";
  Touch(stem + ".png");
  EXPECT_EQ(Pick(stem + ".png"), std::string(248, 'n') + "_1.png");
  Touch(std::string(248, 'n') + "_1.png");
  EXPECT_EQ(Pick(stem + ".png"), std::string(248, 'n') + "_2.png");
}

TEST_F(NamingTest, AnErrorOtherThanMissingIsReported) {
  // A name longer than the file system allows is an error, not a free name.
  std::string longName(300, 'a');
  std::string error;
  fs::path chosen = MakeUniqueOutputPath(dir_, longName + ".jpg", &error);
  EXPECT_TRUE(chosen.empty());
  EXPECT_EQ(error, "exists: " + (dir_ / (longName + ".jpg")).string() + ": 系统错误码 36");
}
#endif
