#pragma once
// Shared helpers of the tests: a fresh temporary folder per test, real image
// files made with the image library, and the corpus of outside test images.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

/// A test with its own empty folder, removed afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  fs::path dir_;
};

/// The corpus of images nobody here made, kept in the repository (tests/corpus/).
fs::path CorpusDir();
/// Images made for these tests and kept in the repository.
fs::path TestDataDir();

std::string ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::string& bytes);

/// Pixels with texture: gradients, noise and, for alpha, transparent regions.
std::vector<unsigned char> TestPixels(int width, int height, int channels);
/// Writes a PNG of TestPixels with the given channel count.
void MakePng(const fs::path& path, int width, int height, int channels);
/// Writes a JPEG (three components, as the library writes them) of TestPixels.
void MakeJpeg(const fs::path& path, int width, int height, int channels);

/// Path from UTF-8 text, whatever the platform.
fs::path U8(const std::string& utf8);

/// UTF-8 form of a wide text (UTF-16 on Windows, UTF-32 on Linux).
std::string WideToUtf8ForTest(const std::wstring& wide);

/// True when the test runs with root rights (permissions are not enforced then).
bool RunningAsRoot();
