// The demo's helpers: the name of the converted file next to the chosen one, and the
// web-site address made from the program's file name.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "demo/ConverterPlayerUtils.h"

namespace {

namespace fs = std::filesystem;
using ConverterPlayerUtils::BuildOutputFileName;
using ConverterPlayerUtils::BuildWebSiteAddress;
using ConverterPlayerUtils::COutputSuffix;

class TOutputName : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() /
           ("miravel_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
            std::to_string(reinterpret_cast<std::uintptr_t>(this)));
    fs::remove_all(FDir);
    ASSERT_TRUE(fs::create_directories(FDir));
  }
  void TearDown() override { fs::remove_all(FDir); }

  std::string Path(const std::string& AName) const { return (FDir / AName).string(); }
  void Touch(const std::string& AName) const {
    std::FILE* f = std::fopen(Path(AName).c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }

  fs::path FDir;
};

TEST_F(TOutputName, FirstFreeCandidate) {
  struct TRow {
    const char* Input;
    std::vector<std::string> Existing;  // files (a trailing "/" makes a folder)
    const char* Expected;
  };
  const TRow rows[] = {
      {"clip.avi", {}, "clip_(new)_qorvane.mp4"},
      {"clip.avi", {"clip_(new)_qorvane.mp4"}, "clip_(new_1)_qorvane.mp4"},
      {"clip.avi",
       {"clip_(new)_qorvane.mp4", "clip_(new_1)_qorvane.mp4", "clip_(new_2)_qorvane.mp4"},
       "clip_(new_3)_qorvane.mp4"},
      // A gap is taken: the first free name wins, not the one after the highest.
      {"clip.avi", {"clip_(new)_qorvane.mp4", "clip_(new_2)_qorvane.mp4"}, "clip_(new_1)_qorvane.mp4"},
      // A folder of that name takes the name too.
      {"clip.avi", {"clip_(new)_qorvane.mp4/"}, "clip_(new_1)_qorvane.mp4"},
      // Only the last extension goes; a name without one keeps all of it.
      {"my.holiday.mkv", {}, "my.holiday_(new)_qorvane.mp4"},
      {"noext", {}, "noext_(new)_qorvane.mp4"},
      // The input itself never stands in the way, even when it is an MP4 of that name.
      {"clip_(new)_qorvane.mp4", {"clip_(new)_qorvane.mp4"}, "clip_(new)_qorvane_(new)_qorvane.mp4"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Input + std::string(" with ") + std::to_string(row.Existing.size()) + " existing");
    for (const std::string& name : row.Existing) {
      if (name.back() == '/')
        fs::create_directory(Path(name.substr(0, name.size() - 1)));
      else
        Touch(name);
    }
    EXPECT_EQ(BuildOutputFileName(Path(row.Input), COutputSuffix), Path(row.Expected));
    for (const auto& entry : fs::directory_iterator(FDir)) fs::remove_all(entry.path());
  }
}

TEST_F(TOutputName, DotInFolderIsNoExtension) {
  fs::create_directory(FDir / "v1.0");
  EXPECT_EQ(BuildOutputFileName(Path("v1.0/clip"), COutputSuffix), Path("v1.0/clip_(new)_qorvane.mp4"));
}

TEST(WebSiteAddress, FromProgramFileName) {
  struct TRow {
    const char* Program;
    const char* Expected;
  };
  const TRow rows[] = {
      {"Demo [1]", "https://www.qorvane.example/?from=exe_demo_1"},
      {"Demo [1].exe", "https://www.qorvane.example/?from=exe_demo_1"},
      {"/opt/demo/Miravel", "https://www.qorvane.example/?from=exe_miravel"},
      {"/home/u/My Demo [copy 2]", "https://www.qorvane.example/?from=exe_my_demo_copy_2"},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Program);
    EXPECT_EQ(BuildWebSiteAddress(ConverterPlayerUtils::HomePage(false), row.Program), row.Expected);
  }
  // The whole address is lower-cased, the home page too.
  EXPECT_EQ(BuildWebSiteAddress("HTTPS://Example.ORG", "Demo [1]"), "https://example.org/?from=exe_demo_1");
}

TEST(ConvertCommandLine, QuotesBothFiles) {
  EXPECT_EQ(ConverterPlayerUtils::BuildCommandLine("/m/a b.avi", "/m/a b_(new)_qorvane.mp4"),
            "-i \"/m/a b.avi\" -c:a aac -b:a 128k -ar 44100 -c:v mpeg4 -s 320x240 -b:v 320k "
            "\"/m/a b_(new)_qorvane.mp4\"");
}

}  // namespace
