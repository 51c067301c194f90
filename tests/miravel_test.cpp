// The demo's helpers: the name of the converted file next to the chosen one, and the
// web-site address made from the program's file name.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "components/FFEncode.h"
#include "demo/ConverterPlayerUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"
#include "support/LoaderTestSupport.h"
#include "support/MediaBuilder.h"

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

// Awkward but legal file names: each comes back from the engine's splitting of the
// command line as it went in.
const std::vector<std::string>& AwkwardNames() {
  static const std::vector<std::string> names = {
      "say \"hi\".avi",
      "\"",
      "\"\"quoted twice\"\"",
      "trailing backslash\\",
      "two trailing\\\\",
      "back\\slash.avi",
      "back\\\"slash quote.avi",
      "back\\\\\"slashes quote.avi",
      "  blanks  and\ttab  ",
      "new\nline.avi",
      "-leading dash.avi",
      "--",
      "colon:name.avi",
      "'single' $HOME %d `cmd`.avi",
      "non-UTF-8 \xff\xfe\x80 bytes.avi",
      "caf\xc3\xa9 \xe4\xb8\xad.avi",
  };
  return names;
}

std::vector<std::string> SplitLikeTheEngine(const std::string& ALine) {
  char** argv = nullptr;
  const int argc = MyUtils::parse_cmdline(ALine, argv, {});
  std::vector<std::string> args(argv, argv + argc);
  MyUtils::free_cmdline(argv);
  return args;
}

TEST(ConvertCommandLine, EveryFileNameComesBackAsItWent) {
  for (const std::string& name : AwkwardNames()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(SplitLikeTheEngine(ConverterPlayerUtils::QuoteArgument(name)),
              std::vector<std::string>{name});
    for (const std::string& folder : {std::string("/m/"), std::string("/m/in \"x\\\\/")}) {
      const std::string input = folder + name;
      const std::string output = folder + name + "_(new)_qorvane.mp4";
      const std::vector<std::string> args =
          SplitLikeTheEngine(ConverterPlayerUtils::BuildCommandLine(input, output));
      ASSERT_EQ(args.size(), 15u);
      EXPECT_EQ(args[0], "-i");
      EXPECT_EQ(args[1], input);
      EXPECT_EQ(args[14], output);
    }
  }
  EXPECT_EQ(SplitLikeTheEngine(ConverterPlayerUtils::QuoteArgument("")), std::vector<std::string>{""});
  // A relative name that would pass for an option or a protocol names the same file.
  const std::vector<std::string> args =
      SplitLikeTheEngine(ConverterPlayerUtils::BuildCommandLine("-in.avi", "out:1.mp4"));
  EXPECT_EQ(args[1], "./-in.avi");
  EXPECT_EQ(args[14], "./out:1.mp4");
}

// The demo's command line converts files of such names for real: the clip is read from
// its name and the MPEG-4 file lands under the name the demo chose for it.
TEST_F(TOutputName, AwkwardNamesConvertEndToEnd) {
  ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries)) << FFLoad::FFLoader->GetLastErrMsg();
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "va";
  spec.Duration = 0.2;
  const std::string clip = Path("clip.nut");
  ASSERT_EQ(MediaBuilder::WriteMedia(clip, "nut", spec), 0);
  for (const std::string& name : AwkwardNames()) {
    if (name.find('/') != std::string::npos) continue;
    SCOPED_TRACE(name);
    const std::string input = Path(name);
    fs::copy_file(clip, input, fs::copy_options::overwrite_existing);
    const std::string output = BuildOutputFileName(input, COutputSuffix);
    FFEncode::TVEDavirev encoder;
    const int index = encoder.AddTask(ConverterPlayerUtils::BuildCommandLine(input, output));
    ASSERT_EQ(index, 0) << encoder.LastErrMsg();
    bool finished = false;
    std::string error;
    struct TEnd {
      bool* Finished;
      std::string* Error;
      static void On(void* AData, Platform::TObject*, const FFEncode::TTerminateInfo& AInfo) {
        auto* self = static_cast<TEnd*>(AData);
        if (AInfo.TaskIndex != 0) return;
        *self->Finished = AInfo.Finished && !AInfo.HasException;
        *self->Error = AInfo.ExceptionMsg;
      }
    } end{&finished, &error};
    encoder.OnTerminate = FFEncode::TTerminateEvent::FromFunction(&TEnd::On, &end);
    encoder.StartTask(0);
    EXPECT_TRUE(finished) << error;
    struct stat st {};
    EXPECT_EQ(::stat(output.c_str(), &st), 0) << output;
    EXPECT_GT(st.st_size, 0);
    fs::remove(output);
    fs::remove(input);
  }
}

TEST(ConvertCommandLine, QuotesBothFiles) {
  EXPECT_EQ(ConverterPlayerUtils::BuildCommandLine("/m/a b.avi", "/m/a b_(new)_qorvane.mp4"),
            "-i \"/m/a b.avi\" -c:a aac -b:a 128k -ar 44100 -c:v mpeg4 -s 320x240 -b:v 320k "
            "\"/m/a b_(new)_qorvane.mp4\"");
}

}  // namespace
