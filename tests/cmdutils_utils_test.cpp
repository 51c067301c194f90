// Utility routines of the tool code: error texts, the tools' exception, logging of host
// texts, growable arrays, display rotation, file reading and the preset-file search.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "LogCapture.h"
#include "TempFolder.h"
#include "runtime/CmdUtils.h"
#include "runtime/MyUtils.h"

namespace {

using namespace CmdUtils;
using AVCodecStubs::av_packet_side_data_new;
using AVFormatStubs::avformat_alloc_context;
using AVFormatStubs::avformat_free_context;
using AVFormatStubs::avformat_new_stream;
using AVUtilStubs::av_display_rotation_set;
using AVUtilStubs::av_free;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_strerror;

namespace fs = std::filesystem;

class CmdUtilsUtils : public ::testing::Test {
 protected:
  TLogCapture log;
};

// ---- error texts -------------------------------------------------------------------------

TEST_F(CmdUtilsUtils, PrintErrorTexts) {
  struct {
    int Code;
    const char* Text;
  } const cases[] = {
      {-1, "Operation not permitted"},  // from the table, libavutil is not asked
      {AVERROR(ENOENT), "No such file or directory"},
      {AVERROR(ENOSYS), "Function not implemented"},
      {AVERROR(ETIMEDOUT), "Connection timed out"},
      {AVERROR_EOF, "End of file"},
      {AVERROR_EXIT, "Immediate exit requested"},
      {AVERROR_OPTION_NOT_FOUND, "Option not found"},
      {-9999, "Error number -9999 occurred"},
      {-0x7ffffff0, "Error number -2147483632 occurred"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Code);
    EXPECT_EQ(print_error(c.Code), c.Text);
  }
  EXPECT_EQ(print_error("in.mp4", AVERROR(ENOENT)), "in.mp4: No such file or directory");
  EXPECT_EQ(print_error(std::string(), AVERROR(ENOENT)), "No such file or directory");
  EXPECT_EQ(print_error(static_cast<const char*>(nullptr), AVERROR_EOF), "End of file");
}

TEST_F(CmdUtilsUtils, ErrorTableAgreesWithThisPlatform) {
  // Every entry is a code of this platform with libavutil's own text for it.
  ASSERT_GT(CErrorListCount, 150);
  for (int i = 0; i < CErrorListCount; i++) {
    SCOPED_TRACE(CErrorList[i].err);
    char buf[129];
    ASSERT_EQ(av_strerror(CErrorList[i].err, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, CErrorList[i].msg);
  }
}

// ---- the exception and logging of host texts ---------------------------------------------

TEST_F(CmdUtilsUtils, ExceptionLogsItsTrimmedMessage) {
  TDefaultOptions ctx{};
  ctx.av_class = get_options_context_class();
  try {
    throw FFmpegException(&ctx, AV_LOG_ERROR, std::string("  50% done, %s stays \r\n"));
  } catch (const Platform::Exception& e) {
    EXPECT_STREQ(e.what(), "  50% done, %s stays \r\n");
  }
  auto lines = TLogCapture::Snapshot();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Ctx, &ctx);
  EXPECT_EQ(lines[0].Level, AV_LOG_ERROR);
  EXPECT_EQ(lines[0].Text, "50% done, %s stays\n");

  TLogCapture::Clear();
  try {
    throw FFmpegException(nullptr, AV_LOG_FATAL, "stream %d of %s", 3, "in.mkv");
  } catch (const FFmpegException& e) {
    EXPECT_STREQ(e.what(), "stream 3 of in.mkv");
  }
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_FATAL, "stream 3 of in.mkv\n"));

  TLogCapture::Clear();
  EXPECT_THROW(throw FFmpegException("never occur."), FFmpegException);
  EXPECT_TRUE(TLogCapture::Snapshot().empty());  // the guard text is not logged
}

TEST_F(CmdUtilsUtils, FfLogPassesTextLiterally) {
  ff_log(nullptr, AV_LOG_WARNING, std::string("100%s %d%%\n"));
  ff_log(nullptr, AV_LOG_INFO, "%d items of %s\n", 3, "x%s");
  auto lines = TLogCapture::Snapshot();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].Level, AV_LOG_WARNING);
  EXPECT_EQ(lines[0].Text, "100%s %d%%\n");
  EXPECT_EQ(lines[1].Text, "3 items of x%s\n");
}

// ---- arrays ------------------------------------------------------------------------------

TEST_F(CmdUtilsUtils, GrowArrayZeroFillsAndNeverShrinks) {
  int* a = nullptr;
  int count = 0;
  ASSERT_EQ(grow_array(a, count, 3), 0);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(a[0] | a[1] | a[2], 0);
  a[0] = 7;
  a[2] = 9;
  int* before = a;
  EXPECT_EQ(grow_array(a, count, 2), 0);  // smaller: nothing changes
  EXPECT_EQ(count, 3);
  EXPECT_EQ(a, before);
  ASSERT_EQ(grow_array(a, count, 6), 0);
  EXPECT_EQ(count, 6);
  EXPECT_EQ(a[0], 7);
  EXPECT_EQ(a[2], 9);
  EXPECT_EQ(a[3] | a[4] | a[5], 0);

  EXPECT_EQ(grow_array(a, count, INT_MAX / 4), AVERROR(ERANGE));
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Array too big.\n"));
  EXPECT_EQ(count, 6);
  av_freep(&a);
}

TEST_F(CmdUtilsUtils, AllocateArrayElemAppendsZeroedElements) {
  struct TElem {
    std::int64_t x;
    char name[24];
  };
  TElem** elems = nullptr;
  int count = 0;
  TElem* first = allocate_array_elem(elems, count);
  TElem* second = allocate_array_elem(elems, count);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(elems[0], first);
  EXPECT_EQ(elems[1], second);
  EXPECT_EQ(second->x, 0);
  EXPECT_EQ(second->name[23], 0);
  for (int i = 0; i < count; i++) av_free(elems[i]);
  av_freep(&elems);
}

// ---- display rotation ----------------------------------------------------------------------

TEST_F(CmdUtilsUtils, RotationFromDisplayMatrices) {
  struct {
    double Set;  // av_display_rotation_set: clockwise degrees
    double Rotation;
    bool Warns;
  } const cases[] = {
      {90, 90, false}, {-90, 270, false}, {180, 180, false}, {-180, 180, false},
      {0, 0, false},   {45, 45, true},    {89, 89, false},   {360, 0, false},
      {359.7, 0, false},  // rounds to 360, which is 0
      {-1.3, 359, false}, {272, 272, false}, {273, 273, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Set);
    TLogCapture::Clear();
    std::int32_t m[9];
    av_display_rotation_set(m, c.Set);
    EXPECT_EQ(get_rotation(m), c.Rotation);
    EXPECT_EQ(TLogCapture::Has(AV_LOG_WARNING, "Odd rotation angle.\n"), c.Warns) << TLogCapture::All();
  }
  TLogCapture::Clear();
  EXPECT_EQ(get_rotation(static_cast<const std::int32_t*>(nullptr)), 0);
  const std::int32_t zero[9] = {};  // no scale: the angle is not a number
  EXPECT_EQ(get_rotation(zero), 0);
  EXPECT_TRUE(TLogCapture::Snapshot().empty());
}

TEST_F(CmdUtilsUtils, RotationOfAStream) {
  AVFormatContext* s = avformat_alloc_context();
  AVStream* st = avformat_new_stream(s, nullptr);
  EXPECT_EQ(get_rotation(st), 0);
  AVPacketSideData* sd = av_packet_side_data_new(&st->codecpar->coded_side_data,
                                                 &st->codecpar->nb_coded_side_data,
                                                 AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t), 0);
  ASSERT_NE(sd, nullptr);
  av_display_rotation_set(reinterpret_cast<std::int32_t*>(sd->data), 90);
  EXPECT_EQ(get_rotation(st), 90);
  avformat_free_context(s);
}

// ---- files -------------------------------------------------------------------------------

void WriteFile(const fs::path& APath, const std::string& AContent) {
  fs::create_directories(APath.parent_path());
  std::ofstream(APath, std::ios::binary) << AContent;
}

std::string ReadAll(FILE* f) {
  std::string s;
  char buf[256];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

class TTempDir {
 public:
  TTempDir() {
    FPath = TempFolder::MakeDir("cmdutils_dir");
  }
  ~TTempDir() { fs::remove_all(FPath); }
  const fs::path& Path() const { return FPath; }

 private:
  fs::path FPath;
};

TEST_F(CmdUtilsUtils, FileReadGivesTheWholeContent) {
  TTempDir dir;
  WriteFile(dir.Path() / "empty.txt", "");
  std::string big(100000, 'x');
  big[50000] = '\n';
  WriteFile(dir.Path() / "big.txt", big);

  char* empty = file_read((dir.Path() / "empty.txt").c_str());
  ASSERT_NE(empty, nullptr);  // an empty text, not nil
  EXPECT_STREQ(empty, "");
  av_free(empty);

  char* text = file_read((dir.Path() / "big.txt").c_str());
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(std::string(text), big);
  av_free(text);

  const std::string missing = (dir.Path() / "missing.txt").string();
  EXPECT_EQ(file_read(missing.c_str()), nullptr);
  EXPECT_TRUE(TLogCapture::Has(AV_LOG_ERROR, "Error opening file " + missing + ".\n"));
}

// Points FFMPEG_DATADIR and HOME at temporary folders (or removes them) for one test.
class TEnvironment {
 public:
  TEnvironment() {
    Save("FFMPEG_DATADIR", FDataDir, FHadDataDir);
    Save("HOME", FHome, FHadHome);
  }
  ~TEnvironment() {
    Restore("FFMPEG_DATADIR", FDataDir, FHadDataDir);
    Restore("HOME", FHome, FHadHome);
  }
  static void Set(const char* AName, const fs::path* AValue) {
    if (AValue)
      setenv(AName, AValue->c_str(), 1);
    else
      unsetenv(AName);
  }

 private:
  static void Save(const char* AName, std::string& AValue, bool& AHad) {
    const char* v = std::getenv(AName);
    AHad = v != nullptr;
    AValue = v ? v : "";
  }
  static void Restore(const char* AName, const std::string& AValue, bool AHad) {
    if (AHad)
      setenv(AName, AValue.c_str(), 1);
    else
      unsetenv(AName);
  }
  std::string FDataDir, FHome;
  bool FHadDataDir = false, FHadHome = false;
};

TEST_F(CmdUtilsUtils, PresetFileSearchOrder) {
  TEnvironment env;
  TTempDir data, home;
  const fs::path program_dir = fs::path(MyUtils::ExePath()) / "ffpresets";
  const bool had_program_dir = fs::exists(program_dir);
  const std::string preset = "cmdutils-test-" + std::to_string(getpid());
  WriteFile(data.Path() / (preset + ".ffpreset"), "from datadir");
  WriteFile(home.Path() / ".ffmpeg" / (preset + ".ffpreset"), "from home");
  WriteFile(home.Path() / ".ffmpeg" / ("libx-" + preset + ".ffpreset"), "codec from home");
  WriteFile(program_dir / (preset + ".ffpreset"), "from program");

  struct {
    const fs::path* DataDir;
    const fs::path* Home;
    const char* Codec;
    const char* Content;  // nullptr: not found
    std::string LastTried;
  } const cases[] = {
      {&data.Path(), &home.Path(), nullptr, "from datadir", (data.Path() / (preset + ".ffpreset")).string()},
      {nullptr, &home.Path(), nullptr, "from home", (home.Path() / ".ffmpeg" / (preset + ".ffpreset")).string()},
      {nullptr, nullptr, nullptr, "from program", (program_dir / (preset + ".ffpreset")).string()},
  };
  char name[1024];
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Content);
    TEnvironment::Set("FFMPEG_DATADIR", c.DataDir);
    TEnvironment::Set("HOME", c.Home);
    FILE* f = get_preset_file(name, sizeof name, preset.c_str(), 0, c.Codec);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(ReadAll(f), c.Content);
    std::fclose(f);
    EXPECT_EQ(std::string(name), c.LastTried);
  }

  // The codec form comes right after the plain name of the same folder.
  fs::remove(home.Path() / ".ffmpeg" / (preset + ".ffpreset"));
  TEnvironment::Set("FFMPEG_DATADIR", nullptr);
  TEnvironment::Set("HOME", &home.Path());
  FILE* f = get_preset_file(name, sizeof name, preset.c_str(), 0, "libx");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadAll(f), "codec from home");
  std::fclose(f);

  // Nothing found: the buffer holds the last path tried, the codec form in the program folder.
  fs::remove(program_dir / (preset + ".ffpreset"));
  if (!had_program_dir) fs::remove(program_dir);
  TEnvironment::Set("HOME", nullptr);
  EXPECT_EQ(get_preset_file(name, sizeof name, preset.c_str(), 0, "libx"), nullptr);
  EXPECT_EQ(std::string(name), (program_dir / ("libx-" + preset + ".ffpreset")).string());

  // A path is opened as it is, cut to the buffer.
  const std::string path = (data.Path() / (preset + ".ffpreset")).string();
  f = get_preset_file(name, sizeof name, path.c_str(), 1, "libx");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadAll(f), "from datadir");
  std::fclose(f);
  char small[8];
  EXPECT_EQ(get_preset_file(small, sizeof small, path.c_str(), 1, nullptr), nullptr);
  EXPECT_EQ(std::string(small), path.substr(0, 7));
}

}  // namespace
