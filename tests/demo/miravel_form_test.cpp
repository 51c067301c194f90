// The demo's form on a real display (or Qt's off-screen one): what the user sees when
// the libraries are not where the program expects them, and a whole conversion driven
// through the form's buttons.
#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "LoaderTestSupport.h"
#include "MediaBuilder.h"
#include "demo/ConverterPlayerFrm.h"
#include "demo/ConverterPlayerUtils.h"
#include "runtime/FFLoad.h"
#include "platform/Dispatcher.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/MyUtils.h"

namespace {

template <class T>
T* Control(QWidget& AForm, const char* AName) {
  T* control = AForm.findChild<T*>(AName);
  EXPECT_NE(control, nullptr) << AName;
  return control;
}

// The test program has no LibAV folder beside it: the first Open writes the loader's
// error below the home page, and nothing else happens.
TEST(MiravelForm, MissingLibraryFolderWritesTheLoadersError) {
  ASSERT_FALSE(std::filesystem::exists(MyUtils::ExePath() + "LibAV"));
  ASSERT_FALSE(FFLoad::FFLoader->Loaded(FFLoad::CEncoderLibraries)) << "run this test in a process of its own";
  if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "ostrevan_tests";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  {
    TfrmConverterPlayer form;
    form.show();
    auto* memo = Control<QPlainTextEdit>(form, "mmoLog");
    auto* open = Control<QPushButton>(form, "btnOpen");
    auto* start = Control<QPushButton>(form, "btnStart");
    ASSERT_TRUE(memo && open && start);
    const QString home = memo->toPlainText();

    open->click();

    const std::string error = FFLoad::FFLoader->GetLastErrMsg();
    EXPECT_NE(error.find("LibAV"), std::string::npos) << error;
    EXPECT_EQ(memo->toPlainText().toStdString(), home.toStdString() + "\n" + error);
    EXPECT_TRUE(open->isEnabled());
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(FFLoad::FFLoader->Loaded(FFLoad::CEncoderLibraries));
  }
}

// The form with the open dialog and the warning box replaced: the file is given, the
// warnings are collected.
class TTestForm : public TfrmConverterPlayer {
 public:
  QString Input;
  QStringList Warnings;

 protected:
  QString ChooseInputFile() override { return Input; }
  void ShowWarning(const QString& AText) override { Warnings << AText; }
};

struct TProbed {
  std::string Codec;
  int Width, Height, SampleRate;
};

std::vector<TProbed> Probe(const std::string& AFile) {
  std::vector<TProbed> result;
  AVFormatContext* ic = nullptr;
  if (AVFormatStubs::avformat_open_input(&ic, AFile.c_str(), nullptr, nullptr) < 0) return result;
  if (AVFormatStubs::avformat_find_stream_info(ic, nullptr) >= 0)
    for (unsigned i = 0; i < ic->nb_streams; i++) {
      const AVCodecParameters* par = ic->streams[i]->codecpar;
      result.push_back({AVCodecStubs::avcodec_get_name(par->codec_id), par->width, par->height, par->sample_rate});
    }
  AVFormatStubs::avformat_close_input(&ic);
  return result;
}

// Open, Start, Pause and Resume on a generated clip, then the run's end: the buttons
// go back to idle and the output beside the input is the small MPEG-4 file.
TEST(MiravelForm, ConvertsTheChosenFileAndReturnsToIdle) {
  ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("miravel_form_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string input = (dir / "clip.mkv").string();
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "va";
  spec.Duration = 1.0;
  ASSERT_EQ(MediaBuilder::WriteMedia(input, nullptr, spec), 0);

  if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "ostrevan_tests";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  // As the program does: calls handed to the main thread run from Qt's event loop.
  Platform::SetMainThreadWaker(
      [] { QMetaObject::invokeMethod(qApp, [] { Platform::ProcessMainThreadQueue(); }, Qt::QueuedConnection); });
  {
    TTestForm form;
    form.Input = QString::fromStdString(input);
    form.show();
    auto* memo = Control<QPlainTextEdit>(form, "mmoLog");
    auto* bar = Control<QProgressBar>(form, "ProgressBar1");
    QPushButton* b[5];
    const char* names[5] = {"btnOpen", "btnStart", "btnStop", "btnPause", "btnResume"};
    for (int i = 0; i < 5; i++) b[i] = Control<QPushButton>(form, names[i]);
    ASSERT_TRUE(memo && bar && b[0] && b[1] && b[2] && b[3] && b[4]);
    auto enabled = [&] {
      std::string r;
      for (QPushButton* button : b) r += button->isEnabled() ? '1' : '0';
      return r;
    };

    b[0]->click();
    ASSERT_TRUE(memo->toPlainText().contains("***Ready to go!")) << memo->toPlainText().toStdString();
    EXPECT_EQ(enabled(), "11000");

    // The run's end reaches the form only through the event loop, so every click below
    // lands while the run is still under way for the form.
    b[1]->click();
    EXPECT_EQ(enabled(), "00110");
    b[3]->click();
    EXPECT_EQ(enabled(), "00101");
    b[4]->click();
    EXPECT_EQ(enabled(), "00110");

    while (!b[0]->isEnabled()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    QCoreApplication::processEvents();
    EXPECT_EQ(enabled(), "10000");
    EXPECT_EQ(bar->value(), 100);
    EXPECT_FALSE(memo->toPlainText().contains("***Cannot play")) << memo->toPlainText().toStdString();
    EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
    // What the user saw at the end, kept beside the test program.
    EXPECT_TRUE(form.grab().save(QString::fromStdString(MyUtils::ExePath() + "miravel_form.png")));
  }
  Platform::SetMainThreadWaker({});

  const std::vector<TProbed> out = Probe((dir / "clip_(new)_qorvane.mp4").string());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].Codec, "mpeg4");
  EXPECT_EQ(out[0].Width, 320);
  EXPECT_EQ(out[0].Height, 240);
  EXPECT_EQ(out[1].Codec, "aac");
  EXPECT_EQ(out[1].SampleRate, 44100);
  std::filesystem::remove_all(dir);
}

// Closing the form while the conversion runs stops it and detaches the form: the run's
// end never reaches the form, which goes without waiting on anything.
TEST(MiravelForm, ClosingDuringTheRunStopsItQuietly) {
  ASSERT_TRUE(LoaderTestSupport::RequireLoaded(FFLoad::CEncoderLibraries));
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("miravel_close_" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string input = (dir / "clip.mkv").string();
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "va";
  spec.Duration = 2.0;
  ASSERT_EQ(MediaBuilder::WriteMedia(input, nullptr, spec), 0);

  if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "ostrevan_tests";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  Platform::SetMainThreadWaker(
      [] { QMetaObject::invokeMethod(qApp, [] { Platform::ProcessMainThreadQueue(); }, Qt::QueuedConnection); });
  {
    TTestForm form;
    form.Input = QString::fromStdString(input);
    form.show();
    auto* open = Control<QPushButton>(form, "btnOpen");
    auto* start = Control<QPushButton>(form, "btnStart");
    auto* stop = Control<QPushButton>(form, "btnStop");
    ASSERT_TRUE(open && start && stop);
    open->click();
    ASSERT_TRUE(start->isEnabled());
    start->click();
    EXPECT_TRUE(form.close());
    // Whatever the stopped run still hands to the main thread runs now.
    QCoreApplication::processEvents();
    while (Platform::ProcessMainThreadQueue()) QCoreApplication::processEvents();
    EXPECT_FALSE(open->isEnabled());
    EXPECT_TRUE(stop->isEnabled());
    EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
  }
  Platform::SetMainThreadWaker({});
  std::filesystem::remove_all(dir);
}

}  // namespace
