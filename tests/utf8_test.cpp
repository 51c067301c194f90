// UTF-8 conversions, environment lookup, file opening and the file-name buffer.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "TempFolder.h"
#include "TestLibraries.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/FFUTF8.h"
#include "runtime/MyUtilStubs.h"

namespace {

using AVUtilStubs::av_free;

class FFUTF8Test : public ::testing::Test {
 protected:
  void SetUp() override { TestLibraries::RequireFFmpegLibraries(); }
};

// A fresh folder under /tmp, removed with its files at the end of the test.
class TempDir {
 public:
  TempDir() {
    FPath = TempFolder::MakeDir("ostrevan_utf8");
  }
  ~TempDir() { std::system(("rm -rf '" + FPath + "'").c_str()); }
  const std::string& Path() const { return FPath; }

 private:
  std::string FPath;
};

std::string ReadFile(const std::string& APath) {
  std::string text;
  if (FILE* f = std::fopen(APath.c_str(), "rb")) {
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
  }
  return text;
}

std::string Repeat(const std::string& AText, int ACount) {
  std::string s;
  for (int i = 0; i < ACount; ++i) s += AText;
  return s;
}

TEST_F(FFUTF8Test, Utf8DecodeKeepsEveryCharacterAndReplacesInvalidBytes) {
  const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD
  struct {
    const char* Name;
    std::string Text, Expected;
  } const cases[] = {
      {"ASCII", "Input #0, lavfi", "Input #0, lavfi"},
      {"Latin-1 range", "caf\xC3\xA9 \xC3\xBF \xC2\xA0", "caf\xC3\xA9 \xC3\xBF \xC2\xA0"},
      {"above 255", "\xE2\x82\xAC \xE6\x97\xA5 \xF0\x9D\x84\x9E", "\xE2\x82\xAC \xE6\x97\xA5 \xF0\x9D\x84\x9E"},
      {"invalid byte", "a\xFF" "b", "a" + replacement + "b"},
      {"Latin-1 byte that is not UTF-8", "caf\xE9", "caf" + replacement},
      {"truncated sequence", "x\xC3", "x" + replacement},
      {"empty", "", ""},
      {"long Latin-1 text", Repeat("\xC3\xA9", 200), Repeat("\xC3\xA9", 200)},
      {"long text with an invalid byte", Repeat("ab", 200) + "\xFF", Repeat("ab", 200) + replacement},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(FFUTF8::my_utf8_decode(c.Text.c_str()), c.Expected);
  }
  EXPECT_EQ(FFUTF8::my_utf8_decode(nullptr), "");
}

TEST_F(FFUTF8Test, WideToUtf8AllocatesACopyAndFailsStrictlyOnUnpairedSurrogates) {
  char* out = nullptr;
  ASSERT_EQ(FFUTF8::wchartoutf8(u"Gr\u00FC\u00DFe \U0001D11E", out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "Gr\xC3\xBC\xC3\x9F" "e \xF0\x9D\x84\x9E");
  av_free(out);

  ASSERT_EQ(FFUTF8::wchartoutf8(u"", out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "");
  av_free(out);

  const char16_t highAlone[] = {u'a', 0xD800, u'b', 0};
  const char16_t lowAlone[] = {0xDC00, 0};
  const char16_t highAtEnd[] = {u'a', 0xDBFF, 0};
  for (const char16_t* bad : {highAlone, lowAlone, highAtEnd}) {
    out = reinterpret_cast<char*>(1);
    EXPECT_EQ(FFUTF8::wchartoutf8(bad, out), 0);
    EXPECT_EQ(out, nullptr);
  }
  out = reinterpret_cast<char*>(1);
  EXPECT_EQ(FFUTF8::wchartoutf8(nullptr, out), 0);
  EXPECT_EQ(out, nullptr);
}

TEST_F(FFUTF8Test, EnvironmentValuesComeBackAsUtf8) {
  ::setenv("OSTREVAN_UTF8_TEST", "Wert \xC3\xA4 \xE2\x82\xAC", 1);
  char* value = FFUTF8::getenv_utf8("OSTREVAN_UTF8_TEST");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "Wert \xC3\xA4 \xE2\x82\xAC");
  FFUTF8::freeenv_utf8(value);
  ::unsetenv("OSTREVAN_UTF8_TEST");

  EXPECT_EQ(FFUTF8::getenv_utf8("OSTREVAN_UTF8_TEST"), nullptr);
  EXPECT_EQ(FFUTF8::getenv_utf8("OSTREVAN_\xFF"), nullptr);
  EXPECT_EQ(FFUTF8::getenv_utf8(nullptr), nullptr);
}

TEST_F(FFUTF8Test, OpensRelativeAndNonAsciiPathsAndBytesThatAreNotUtf8) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());

  // Relative to the current directory.
  char cwd[PATH_MAX];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.Path().c_str()), 0);
  FILE* f = FFUTF8::fopen_utf8("relative.txt", "wb");
  ASSERT_EQ(::chdir(cwd), 0);
  ASSERT_NE(f, nullptr);
  std::fputs("relative", f);
  std::fclose(f);
  EXPECT_EQ(ReadFile(dir.Path() + "/relative.txt"), "relative");

  // A non-ASCII name is the UTF-8 bytes on disk.
  const std::string name = dir.Path() + "/Gr\xC3\xBC\xC3\x9F" "e \xE2\x82\xAC.txt";
  f = FFUTF8::fopen_utf8(name.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("utf-8", f);
  std::fclose(f);
  EXPECT_EQ(ReadFile(name), "utf-8");
  f = FFUTF8::fopen_utf8(name.c_str(), "r");
  ASSERT_NE(f, nullptr);
  std::fclose(f);

  // Bytes that are not UTF-8 are opened as they are.
  const std::string raw = dir.Path() + "/raw\xFF\xFE.bin";
  f = FFUTF8::fopen_utf8(raw.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  struct stat st;
  EXPECT_EQ(::stat(raw.c_str(), &st), 0);

  EXPECT_EQ(FFUTF8::fopen_utf8((dir.Path() + "/missing.txt").c_str(), "r"), nullptr);
  EXPECT_EQ(FFUTF8::fopen_utf8((dir.Path() + "/no/such/dir.txt").c_str(), "w"), nullptr);
}

TEST_F(FFUTF8Test, FileNameBufferIsPerThreadAndStaysIntact) {
  std::string mainName = "main \xC3\xA9.mp4";
  char* mine = FFUTF8::ffmpeg_filename(mainName);
  char* theirs = nullptr;
  std::thread worker([&] {
    for (int i = 0; i < 1000; ++i) {
      const std::string name = "worker-" + std::to_string(i) + ".mkv";
      theirs = FFUTF8::ffmpeg_filename(name);
      ASSERT_STREQ(theirs, name.c_str());
    }
  });
  for (int i = 0; i < 1000; ++i) {
    const std::string name = "main-" + std::to_string(i) + ".mp4";
    ASSERT_STREQ(FFUTF8::ffmpeg_filename(name), name.c_str());
  }
  worker.join();
  EXPECT_NE(mine, theirs);
  EXPECT_STREQ(FFUTF8::ffmpeg_filename(mainName), mainName.c_str());
}

TEST_F(FFUTF8Test, LongFileNamesAreCutAtACharacterBoundary) {
  const size_t room = FFUTF8::FFmpegFileNameSize - 1;  // bytes before the zero
  struct {
    const char* Name;
    std::string FileName;
    size_t Kept;
  } const cases[] = {
      {"fits exactly", std::string(room, 'a'), room},
      {"one byte too many", std::string(room + 1, 'a'), room},
      {"two-byte character across the end", std::string(room - 1, 'a') + "\xC3\xA9", room - 1},
      {"three-byte character across the end", std::string(room - 2, 'a') + "\xE2\x82\xAC", room - 2},
      {"four-byte character ending on the last byte", std::string(room - 4, 'a') + "\xF0\x9D\x84\x9E", room},
      {"far too long", Repeat("\xE2\x82\xAC", 3000), room - room % 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const char* buffer = FFUTF8::ffmpeg_filename(c.FileName);
    EXPECT_EQ(std::string(buffer), c.FileName.substr(0, c.Kept));
    EXPECT_EQ(buffer[FFUTF8::FFmpegFileNameSize - 1], '\0');
  }
  // A short name after a long one leaves nothing of the long one behind.
  const char* buffer = FFUTF8::ffmpeg_filename("x");
  EXPECT_EQ(std::string(buffer, FFUTF8::FFmpegFileNameSize),
            "x" + std::string(FFUTF8::FFmpegFileNameSize - 1, '\0'));
}

TEST_F(FFUTF8Test, HostAndFFmpegTextConversions) {
  const std::string text = "Stra\xC3\x9F" "e \xE6\x97\xA5";
  EXPECT_EQ(FFUTF8::lantor2ffmpeg(text), text);
  EXPECT_EQ(FFUTF8::ffmpeg2lantor(text), text);
  EXPECT_EQ(FFUTF8::ffmpeg2lantor(text.c_str()), text);
  EXPECT_EQ(FFUTF8::lantor_filename(text.c_str()), text);
  EXPECT_EQ(FFUTF8::ffmpeg2lantor(std::string("a\xC3")), "a\xEF\xBF\xBD");
  EXPECT_EQ(FFUTF8::lantor_filename("b\x80"), "b\xEF\xBF\xBD");
  EXPECT_EQ(FFUTF8::ffmpeg2lantor(static_cast<const char*>(nullptr)), "");
  EXPECT_EQ(FFUTF8::lantor_filename(nullptr), "");
  // A file name that is not UTF-8 reaches FFmpeg with its bytes.
  EXPECT_EQ(FFUTF8::lantor2ffmpeg("raw\xFF"), "raw\xFF");
}

}  // namespace
