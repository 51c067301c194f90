// The demo's form on a real display (Xvfb on xcb, or Qt's off-screen platform without
// one): what the user sees when the libraries are not where the program expects them,
// whole conversions driven through the form's buttons while the player previews the
// file inside the memo, a failing conversion, a conversion of unknown length and the
// web-site button. The open dialog, the warning box and the browser are replaced; the
// libraries, the media and the windows are real.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QImage>
#include <QLabel>
#include <QMetaObject>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStringList>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "LoaderTestSupport.h"
#include "MediaBuilder.h"
#include "MediaProbe.h"
#include "PlayerTestSupport.h"
#include "SavedEnvironment.h"
#include "demo/ConverterPlayerFrm.h"
#include "demo/ConverterPlayerUtils.h"
#include "platform/Dispatcher.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"

namespace {

namespace fs = std::filesystem;

// The form with the open dialog, the warning box and the browser replaced: the file is
// given, the warnings and the addresses handed to the browser are collected.
class TTestForm : public TfrmConverterPlayer {
 public:
  QString Input;
  QStringList Warnings;
  QStringList Opened;
  bool BrowserStarts = true;

 protected:
  QString ChooseInputFile() override { return Input; }
  void ShowWarning(const QString& AText) override { Warnings << AText; }
  bool OpenAddress(const QString& AAddress) override {
    Opened << AAddress;
    return BrowserStarts;
  }
};

template <class T>
T* Control(QWidget& AForm, const char* AName) {
  T* control = AForm.findChild<T*>(AName);
  EXPECT_NE(control, nullptr) << AName;
  return control;
}

// The form's controls, and the buttons Open, Start, Stop, Pause, Resume as "1" (enabled)
// and "0".
struct TControls {
  explicit TControls(QWidget& AForm)
      : Open(Control<QPushButton>(AForm, "btnOpen")),
        Start(Control<QPushButton>(AForm, "btnStart")),
        Stop(Control<QPushButton>(AForm, "btnStop")),
        Pause(Control<QPushButton>(AForm, "btnPause")),
        Resume(Control<QPushButton>(AForm, "btnResume")),
        WebSite(Control<QPushButton>(AForm, "btnWebSite")),
        Memo(Control<QPlainTextEdit>(AForm, "mmoLog")),
        Bar(Control<QProgressBar>(AForm, "ProgressBar1")),
        StatusLabel(Control<QLabel>(AForm, "lblStatus")) {}

  bool Complete() const { return Open && Start && Stop && Pause && Resume && WebSite && Memo && Bar && StatusLabel; }
  std::string Buttons() const {
    std::string r;
    for (QPushButton* b : {Open, Start, Stop, Pause, Resume}) r += b->isEnabled() ? '1' : '0';
    return r;
  }
  std::string MemoText() const { return Memo->toPlainText().toStdString(); }

  QPushButton *Open, *Start, *Stop, *Pause, *Resume, *WebSite;
  QPlainTextEdit* Memo;
  QProgressBar* Bar;
  QLabel* StatusLabel;
};

void ExpectSmallMpeg4(const std::string& AFile) {
  const MediaProbe::TProbe out = MediaProbe::ProbeFile(AFile);
  ASSERT_EQ(out.Streams.size(), 2u) << AFile;
  EXPECT_EQ(out.Streams[0].Codec, "mpeg4");
  EXPECT_EQ(out.Streams[0].Width, 320);
  EXPECT_EQ(out.Streams[0].Height, 240);
  EXPECT_EQ(out.Streams[1].Codec, "aac");
  EXPECT_EQ(out.Streams[1].SampleRate, 44100);
}

std::uintmax_t SizeOf(const fs::path& AFile) {
  std::error_code ec;
  const std::uintmax_t size = fs::file_size(AFile, ec);
  return ec ? 0 : size;
}

// A Qt application per test, on xcb when there is an X display (Qt's default there) and
// off-screen otherwise; calls that other threads hand to the main thread run from Qt's
// event loop, as in the program. A folder of the test's own for the media.
class MiravelForm : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
    FApp = std::make_unique<QApplication>(FArgc, FArgv);
    Platform::SetMainThreadWaker(
        [] { QMetaObject::invokeMethod(qApp, [] { Platform::ProcessMainThreadQueue(); }, Qt::QueuedConnection); });
    FDir = fs::temp_directory_path() /
           ("miravel_form_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FDir);
    fs::create_directories(FDir);
  }

  void TearDown() override {
    Platform::SetMainThreadWaker({});
    FApp.reset();
    std::error_code ec;
    fs::remove_all(FDir, ec);
  }

  static bool OnX11() { return QGuiApplication::platformName() == "xcb"; }

  // The libraries that the form would load from LibAV beside the program, bound from
  // the build's library folder, and a clip of ASpec in the test's folder.
  std::string Clip(const std::string& AName, const MediaBuilder::TMediaSpec& ASpec, const char* AFormat = nullptr) {
    PlayerTestSupport::RequirePlayerLibraries();
    const std::string file = (FDir / AName).string();
    EXPECT_EQ(MediaBuilder::WriteMedia(file, AFormat, ASpec), 0) << file;
    return file;
  }

  static MediaBuilder::TMediaSpec VideoAndSound(double ASeconds) {
    MediaBuilder::TMediaSpec spec;
    spec.Streams = "va";
    spec.Duration = ASeconds;
    return spec;
  }

  // Runs Qt's event loop until APredicate holds or ASeconds pass (a bound for a hung
  // run, not a speed target); the result of APredicate.
  static bool PumpUntil(const std::function<bool()>& APredicate, double ASeconds = 120) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(ASeconds);
    while (!APredicate()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      ::usleep(5000);
    }
    return true;
  }

  // Runs Qt's event loop for about AMilliseconds.
  static void PumpFor(int AMilliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
    while (std::chrono::steady_clock::now() < end) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      ::usleep(5000);
    }
  }

  // Open with AInput chosen; ready to start.
  static void OpenReady(TTestForm& AForm, const TControls& AControls, const std::string& AInput) {
    AForm.Input = QString::fromStdString(AInput);
    AControls.Open->click();
    ASSERT_TRUE(AControls.Memo->toPlainText().contains("***Ready to go!")) << AControls.MemoText();
    ASSERT_EQ(AControls.Buttons(), "11000");
  }

  // Start, held at once by Pause: on a busy machine a short clip may otherwise convert
  // to its end before the test's next click is handled.
  static void StartHeld(const TControls& AControls) {
    AControls.Start->click();
    AControls.Pause->click();
    ASSERT_EQ(AControls.Buttons(), "00101");
  }

  // The held run goes on until a progress report newer than the status text
  // ABefore has reached the form (or the run ended), then it is held again. Reports
  // come only while the run goes: a run held before its first report reports nothing
  // until it resumes.
  static void RunUntilAReport(const TControls& AControls, const QString& ABefore) {
    AControls.Resume->click();
    ASSERT_TRUE(PumpUntil([&] { return AControls.StatusLabel->text() != ABefore || AControls.Open->isEnabled(); }))
        << "no progress report came";
    AControls.Pause->click();
  }

  // After a Pause: what was under way drains, and the run reports once more at most (the
  // report that was due when the pause came; a held run reports nothing). Returns once
  // that report has come, or once it can no longer be on its way: reports are due every
  // half second, and ten seconds leave a busy machine time to deliver one.
  static void SettleHeld(const TControls& AControls) {
    const QString before = AControls.StatusLabel->text();
    (void)PumpUntil([&] { return AControls.StatusLabel->text() != before || AControls.Open->isEnabled(); }, 10);
  }

  // The run's end reached the form: Open is enabled again.
  static void WaitForTheEnd(const TControls& AControls) {
    ASSERT_TRUE(PumpUntil([&] { return AControls.Open->isEnabled(); })) << "the run never ended";
    QCoreApplication::processEvents();
  }

  // The platform choice made in SetUp goes with the test.
  TestEnvironment::TSavedVariables FVariables{"QT_QPA_PLATFORM"};
  int FArgc = 1;
  char FName[16] = "ostrevan_tests";
  char* FArgv[2] = {FName, nullptr};
  std::unique_ptr<QApplication> FApp;
  fs::path FDir;
};

// The test program has no LibAV folder beside it: the first Open writes the loader's
// error below the home page, and nothing else happens.
TEST_F(MiravelForm, MissingLibraryFolderWritesTheLoadersError) {
  ASSERT_FALSE(fs::exists(MyUtils::ExePath() + "LibAV"));
  ASSERT_FALSE(FFLoad::FFLoader->Loaded(FFLoad::CEncoderLibraries)) << "run this test in a process of its own";
  TTestForm form;
  form.Input = "/never/asked/for.avi";
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  const QString home = c.Memo->toPlainText();

  c.Open->click();

  const std::string error = FFLoad::FFLoader->GetLastErrMsg();
  EXPECT_NE(error.find("LibAV"), std::string::npos) << error;
  EXPECT_EQ(c.MemoText(), home.toStdString() + "\n" + error);
  EXPECT_EQ(c.Buttons(), "10000");
  EXPECT_FALSE(FFLoad::FFLoader->Loaded(FFLoad::CEncoderLibraries));
  EXPECT_TRUE(form.Warnings.isEmpty());
}

// Open, Start, Pause and Resume on a generated clip, then the run's end: the buttons
// go back to idle and the output beside the input is the small MPEG-4 file.
TEST_F(MiravelForm, ConvertsTheChosenFileAndReturnsToIdle) {
  const std::string input = Clip("clip.mkv", VideoAndSound(1.0));
  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  OpenReady(form, c, input);

  // The run's end reaches the form only through the event loop, so every click below
  // lands while the run is still under way for the form.
  c.Start->click();
  EXPECT_EQ(c.Buttons(), "00110");
  c.Pause->click();
  EXPECT_EQ(c.Buttons(), "00101");
  c.Resume->click();
  EXPECT_EQ(c.Buttons(), "00110");

  WaitForTheEnd(c);
  EXPECT_EQ(c.Buttons(), "10000");
  EXPECT_EQ(c.Bar->value(), 100);
  EXPECT_TRUE(c.StatusLabel->text().startsWith("Frame number: ")) << c.StatusLabel->text().toStdString();
  EXPECT_FALSE(c.Memo->toPlainText().contains("***Cannot play")) << c.MemoText();
  EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
  ExpectSmallMpeg4((FDir / "clip_(new)_qorvane.mp4").string());
}

// Stop during the run (held by Pause, so that its end cannot come first): the run ends
// early, the buttons go back to idle and the bar is not filled. Open works again at
// once, and the next output takes the next free name, as the stopped run left its file
// behind.
TEST_F(MiravelForm, StopEndsTheRunAndTheNextOpenTakesTheNextName) {
  // Long enough that a busy machine cannot convert it all between the clicks.
  const std::string input = Clip("stopped.mkv", VideoAndSound(60.0));
  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  OpenReady(form, c, input);

  StartHeld(c);
  c.Stop->click();
  EXPECT_FALSE(c.Stop->isEnabled());
  WaitForTheEnd(c);
  EXPECT_EQ(c.Buttons(), "10000");
  EXPECT_LT(c.Bar->value(), 100) << "a stopped task filled the bar";
  EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
  ASSERT_TRUE(fs::exists(FDir / "stopped_(new)_qorvane.mp4"));

  OpenReady(form, c, input);
  EXPECT_EQ(c.Bar->value(), 0);
  c.Start->click();
  WaitForTheEnd(c);
  EXPECT_EQ(c.Buttons(), "10000");
  EXPECT_EQ(c.Bar->value(), 100);
  ExpectSmallMpeg4((FDir / "stopped_(new_1)_qorvane.mp4").string());
}

// A file that cannot be converted, chosen after one that could: the memo says why, and
// Start goes off with the earlier task, so a click can never start an empty run that
// would never end. A good file makes the form ready again.
TEST_F(MiravelForm, UnconvertibleFileLeavesNothingToStart) {
  const std::string input = Clip("good.mkv", VideoAndSound(1.0));
  const fs::path junk = FDir / "junk.avi";
  std::ofstream(junk) << "no media in here\n";
  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  OpenReady(form, c, input);

  form.Input = QString::fromStdString(junk.string());
  c.Open->click();
  EXPECT_EQ(c.Buttons(), "10000");
  const QStringList lines = c.Memo->toPlainText().split('\n');
  const qsizetype at = lines.indexOf(QRegularExpression("^\\*\\*\\*Add task error: .+"));
  ASSERT_GE(at, 1) << c.MemoText();
  EXPECT_EQ(lines[at - 1], "");
  ASSERT_LT(at + 1, lines.size());
  EXPECT_EQ(lines[at + 1], "");
  EXPECT_EQ(lines.count("***Ready to go!"), 1) << c.MemoText();

  OpenReady(form, c, input);
  c.Start->click();
  WaitForTheEnd(c);
  EXPECT_EQ(c.Buttons(), "10000");
  EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
}

// The log-level list names the levels from quiet to trace and starts at Info, the
// level the logger starts with; the chosen entry becomes the level of the process.
TEST_F(MiravelForm, LogLevelListSetsTheProcessLevel) {
  TTestForm form;
  form.show();
  auto* levels = Control<QComboBox>(form, "cboLogLevel");
  ASSERT_NE(levels, nullptr);
  const struct {
    const char* Text;
    FFLoad::TLogLevel Level;
  } rows[] = {{"Quiet", FFLoad::llQuiet}, {"Panic", FFLoad::llPanic},     {"Fatal", FFLoad::llFatal},
              {"Error", FFLoad::llError}, {"Warning", FFLoad::llWarning}, {"Info", FFLoad::llInfo},
              {"Verbose", FFLoad::llVerbose}, {"Debug", FFLoad::llDebug}, {"Trace", FFLoad::llTrace}};
  ASSERT_EQ(levels->count(), int(std::size(rows)));
  EXPECT_EQ(levels->currentText(), "Info");
  EXPECT_EQ(levels->toolTip(), "LogLevel");
  EXPECT_EQ(FFLoad::VEDovedo->GetLogLevel(), FFLoad::llInfo);
  // From the far end back, so that every entry is a change.
  for (int i = int(std::size(rows)) - 1; i >= 0; --i) {
    SCOPED_TRACE(rows[i].Text);
    EXPECT_EQ(levels->itemText(i), rows[i].Text);
    levels->setCurrentIndex(i);
    EXPECT_EQ(FFLoad::VEDovedo->GetLogLevel(), rows[i].Level);
  }
  levels->setCurrentIndex(5);
  EXPECT_EQ(FFLoad::VEDovedo->GetLogLevel(), FFLoad::llInfo);
}

// The frame number and the output time of the status text.
std::string FrameAndTime(const QLabel* AStatus) {
  static const QRegularExpression re("^Frame number: (-?\\d+); FPS: -?\\d+; Size: -?\\d+; Time: (-?\\d+)$");
  const QRegularExpressionMatch m = re.match(AStatus->text());
  return m.hasMatch() ? m.captured(1).toStdString() + "@" + m.captured(2).toStdString() : std::string();
}

// Pause holds the conversion where it is, whatever the time it is held; Resume goes on
// from there to a complete file.
TEST_F(MiravelForm, PauseHoldsTheConversionAndResumeCompletesIt) {
  // Long enough that the run, resumed until its first report, is still far from its end
  // on an idle machine.
  constexpr double CSeconds = 60.0;
  const std::string input = Clip("long.mkv", VideoAndSound(CSeconds));
  const fs::path output = FDir / "long_(new)_qorvane.mp4";
  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  OpenReady(form, c, input);

  StartHeld(c);
  // A report shows where the run is held. A pause that came before the first report
  // holds the reports back too: the run goes on until one has come.
  const QString start = c.StatusLabel->text();
  if (FrameAndTime(c.StatusLabel).empty()) RunUntilAReport(c, start);
  ASSERT_FALSE(FrameAndTime(c.StatusLabel).empty()) << c.StatusLabel->text().toStdString();
  ASSERT_EQ(c.Buttons(), "00101") << "the run ended before it was held";
  // What was already under way when the pause came drains; then nothing moves. The
  // state is sampled every 100 ms, once the last report is in, until three samples in a
  // row agree.
  SettleHeld(c);
  auto sample = [&] { return FrameAndTime(c.StatusLabel) + "/" + std::to_string(SizeOf(output)); };
  std::vector<std::string> samples;
  ASSERT_TRUE(PumpUntil([&] {
    PumpFor(100);
    samples.push_back(sample());
    const size_t n = samples.size();
    return n >= 3 && samples[n - 1].front() != '/' && samples[n - 1] == samples[n - 2] &&
           samples[n - 2] == samples[n - 3];
  })) << "the conversion never came to rest";
  const std::string held = samples.back();
  const std::uintmax_t heldSize = SizeOf(output);
  EXPECT_FALSE(c.Open->isEnabled()) << "the run ended while paused (held at " << held << ")";

  PumpFor(600);
  EXPECT_EQ(sample(), held) << "the conversion went on while paused";
  EXPECT_EQ(c.Buttons(), "00101");

  c.Resume->click();
  EXPECT_EQ(c.Buttons(), "00110");
  WaitForTheEnd(c);
  EXPECT_EQ(c.Buttons(), "10000");
  EXPECT_EQ(c.Bar->value(), 100);
  EXPECT_GT(SizeOf(output), heldSize);
  EXPECT_NE(FrameAndTime(c.StatusLabel), held.substr(0, held.find('/')));
  EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
  ExpectSmallMpeg4(output.string());
  EXPECT_NEAR(MediaProbe::ProbeFile(output.string()).Duration, CSeconds, 0.5) << "the whole clip, once resumed";
}

// The share of sampled pixels of ARect in AImage that are clearly coloured (neither
// white, black nor grey, as text and the memo's background are).
double ColouredShare(const QImage& AImage, const QRect& ARect) {
  int coloured = 0, total = 0;
  for (int y = ARect.top(); y <= ARect.bottom(); y += 4)
    for (int x = ARect.left(); x <= ARect.right(); x += 4) {
      const QColor p = AImage.pixelColor(x, y);
      const int hi = std::max({p.red(), p.green(), p.blue()});
      const int lo = std::min({p.red(), p.green(), p.blue()});
      coloured += hi - lo > 64;
      ++total;
    }
  return total ? double(coloured) / total : 0;
}

// The share of sampled pixels of ARect in AImage that are light (the memo's ground).
double LightShare(const QImage& AImage, const QRect& ARect) {
  int light = 0, total = 0;
  for (int y = ARect.top(); y <= ARect.bottom(); y += 4)
    for (int x = ARect.left(); x <= ARect.right(); x += 4) {
      light += qGray(AImage.pixel(x, y)) > 200;
      ++total;
    }
  return total ? double(light) / total : 0;
}

// The running demo as the X server shows it: the player's picture inside the memo while
// the bar stands part of the way. Kept as miravel_form.png beside the test program.
TEST_F(MiravelForm, ScreenShowsThePictureInTheMemoWhileTheBarMoves) {
  if (!OnX11()) GTEST_SKIP() << "needs Qt on xcb with an X display (xvfb-run)";
  // Long enough that the run, going on until a report, is still far from its end on an
  // idle machine.
  MediaBuilder::TMediaSpec spec = VideoAndSound(60.0);
  spec.Width = 320;
  spec.Height = 240;
  const std::string input = Clip("screen.mkv", spec);
  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  ASSERT_TRUE(PumpUntil([&] { return form.isVisible() && c.Memo->viewport()->isVisible(); }));
  OpenReady(form, c, input);

  // The conversion goes on from one progress report to the next, held after each,
  // until a report puts the bar part of the way; the screen is taken while it is held
  // there.
  StartHeld(c);
  for (int steps = 0; c.Bar->value() == 0 && !c.Open->isEnabled() && steps < 200; ++steps)
    RunUntilAReport(c, c.StatusLabel->text());
  // The report that was due when the pause came may still move the bar.
  SettleHeld(c);
  const int bar = c.Bar->value();
  ASSERT_FALSE(c.Open->isEnabled()) << "the run ended before the screen was taken";
  EXPECT_GE(bar, 1);
  EXPECT_LE(bar, 99);

  QWidget* viewport = c.Memo->viewport();
  const QRect memoArea(viewport->mapTo(&form, QPoint(0, 0)), viewport->size());
  QImage shot;
  // The player goes on playing: its pictures reach the memo's window.
  const bool pictured = PumpUntil(
      [&] {
        shot = form.screen()->grabWindow(form.winId()).toImage();
        return ColouredShare(shot, memoArea) > 0.2;
      },
      30);
  const std::string png = MyUtils::ExePath() + "miravel_form.png";
  EXPECT_TRUE(shot.save(QString::fromStdString(png))) << png;
  EXPECT_TRUE(pictured) << "the memo shows no picture of the clip; see " << png;
  EXPECT_EQ(c.Bar->value(), bar) << "the bar moves while paused";
  // Around the memo the form keeps its own look: the buttons' row is not coloured.
  const QRect buttonRow(c.Open->mapTo(&form, QPoint(0, 0)), QSize(form.width() - 16, c.Open->height()));
  EXPECT_LT(ColouredShare(shot, buttonRow), 0.05);

  c.Resume->click();
  WaitForTheEnd(c);
  EXPECT_EQ(c.Buttons(), "10000");
  EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
  // The preview stopped with the run: the memo shows its log again, dark text on a
  // light ground, where the picture was.
  EXPECT_TRUE(PumpUntil(
      [&] {
        shot = form.screen()->grabWindow(form.winId()).toImage();
        return ColouredShare(shot, memoArea) < 0.01 && LightShare(shot, memoArea) > 0.5;
      },
      30))
      << "the memo stays covered after the preview stopped";
}

// An input whose video cannot be decoded at all: the AVI stream says Motion JPEG while
// its frames are MPEG-4 (the four-character codes patched after writing). The task
// opens, runs and fails; the user sees its error in a warning box, and the buttons go
// back to idle.
TEST_F(MiravelForm, FailedTaskShowsAWarningAndReturnsToIdle) {
  MediaBuilder::TMediaSpec spec = VideoAndSound(2.0);
  const std::string input = Clip("broken.avi", spec);
  {
    std::ifstream in(input, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    // The stream header's handler and the picture format's compression: the first
    // eight hundred bytes hold the headers, the frames come after them.
    int patched = 0;
    for (const char* code : {"FMP4", "fmp4"})
      for (size_t at = bytes.find(code); at != std::string::npos && at < 800; at = bytes.find(code, at + 4)) {
        bytes.replace(at, 4, "MJPG");
        ++patched;
      }
    ASSERT_GE(patched, 1) << "the AVI writer names MPEG-4 otherwise now";
    std::ofstream(input, std::ios::binary | std::ios::trunc) << bytes;
  }
  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  OpenReady(form, c, input);

  c.Start->click();
  WaitForTheEnd(c);
  // The box opens once the event that carries the error is done.
  ASSERT_TRUE(PumpUntil([&] { return !form.Warnings.isEmpty(); }, 10));
  EXPECT_EQ(c.Buttons(), "10000");
  ASSERT_EQ(form.Warnings.size(), 1) << form.Warnings.join("\n").toStdString();
  // The task's own error text, as it stands.
  EXPECT_TRUE(form.Warnings[0].contains("error", Qt::CaseInsensitive)) << form.Warnings[0].toStdString();
}

// A raw MPEG-4 video stream carries no duration: the status text follows the run, the
// bar only fills when the task has finished.
TEST_F(MiravelForm, ProgressOfUnknownLengthMovesTheTextNotTheBar) {
  MediaBuilder::TMediaSpec spec;
  spec.Streams = "v";
  spec.Duration = 2.0;
  const std::string input = Clip("raw.m4v", spec, "m4v");
  const MediaProbe::TProbe probe = MediaProbe::ProbeFile(input);
  ASSERT_EQ(probe.Streams.size(), 1u);
  ASSERT_FALSE(probe.HasDuration) << "the raw stream has a duration after all";

  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  OpenReady(form, c, input);
  std::vector<int> values;
  QObject::connect(c.Bar, &QProgressBar::valueChanged, [&](int AValue) { values.push_back(AValue); });

  c.Start->click();
  WaitForTheEnd(c);
  EXPECT_EQ(values, std::vector<int>{100}) << "only the finished task fills the bar";
  const std::string status = FrameAndTime(c.StatusLabel);
  ASSERT_FALSE(status.empty()) << c.StatusLabel->text().toStdString();
  EXPECT_NE(status.substr(0, status.find('@')), "0") << c.StatusLabel->text().toStdString();
  EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
}

// Web Site hands the browser the home page with the program's name; when no browser
// starts, a warning says so and gives the address to open by hand.
TEST_F(MiravelForm, WebSiteOpensTheAddressOrSaysWhyNot) {
  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  const QString home = c.WebSite->toolTip();
  ASSERT_TRUE(home.startsWith("https://")) << home.toStdString();
  const QString address = home + "/?from=exe_ostrevan_tests";

  c.WebSite->click();
  EXPECT_EQ(form.Opened, QStringList{address});
  EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();

  form.BrowserStarts = false;
  c.WebSite->click();
  EXPECT_EQ(form.Opened, (QStringList{address, address}));
  ASSERT_EQ(form.Warnings.size(), 1);
  EXPECT_TRUE(form.Warnings[0].contains(address)) << form.Warnings[0].toStdString();
  EXPECT_TRUE(form.Warnings[0].contains("browser")) << form.Warnings[0].toStdString();
}

// Closing the form while the conversion runs and the player draws into the memo stops
// the conversion and detaches the form: the run's end never reaches it, and the form
// (with the memo's window) goes without harm while the player still has the window.
TEST_F(MiravelForm, ClosingDuringTheRunStopsItQuietly) {
  const std::string input = Clip("clip.mkv", VideoAndSound(2.0));
  TTestForm form;
  form.show();
  const TControls c(form);
  ASSERT_TRUE(c.Complete());
  OpenReady(form, c, input);
  c.Start->click();
  EXPECT_TRUE(form.close());
  // Whatever the stopped run still hands to the main thread runs now, while the player
  // plays on into the memo's window of the closed form.
  PumpFor(300);
  while (Platform::ProcessMainThreadQueue()) QCoreApplication::processEvents();
  EXPECT_FALSE(c.Open->isEnabled());
  EXPECT_TRUE(c.Stop->isEnabled());
  EXPECT_TRUE(form.Warnings.isEmpty()) << form.Warnings.join("\n").toStdString();
  // The form goes here, the memo's window with it, the player still bound to it.
}

}  // namespace
