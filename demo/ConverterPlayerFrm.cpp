#include "demo/ConverterPlayerFrm.h"

#include <QApplication>
#include <QGuiApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>
#include <QUrl>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

#include "components/FFBaseComponent.h"
#include "demo/ConverterPlayerUtils.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"

namespace {

constexpr int CClientWidth = 660;
constexpr int CClientHeight = 407;
constexpr int CButtonWidth = 75;
constexpr int CButtonHeight = 25;
constexpr int CMargin = 8;

const char* const CLogLevels[] = {"Quiet", "Panic", "Fatal",   "Error", "Warning",
                                  "Info",  "Verbose", "Debug", "Trace"};

QString Q(const std::string& AText) { return QString::fromStdString(AText); }

bool OnGuiThread() { return QThread::currentThread() == qApp->thread(); }

// The player can draw into a widget's window only when that window is an X11 window.
bool OnX11() { return QGuiApplication::platformName() == "xcb"; }

}  // namespace

TfrmConverterPlayer::TfrmConverterPlayer(QWidget* AParent) : QMainWindow(AParent) {
  setObjectName("frmConverterPlayer");
  setWindowTitle("frmConverterPlayer");
  setFont(QFont("Tahoma"));
  resize(CClientWidth, CClientHeight);

  auto* client = new QWidget(this);
  setCentralWidget(client);
  auto* rows = new QVBoxLayout(client);
  auto* top = new QHBoxLayout;
  auto* bottom = new QHBoxLayout;

  auto makeButton = [&](const char* AName, const char* ACaption, bool AEnabled) {
    auto* b = new QPushButton(ACaption, client);
    b->setObjectName(AName);
    b->setFixedSize(CButtonWidth, CButtonHeight);
    b->setEnabled(AEnabled);
    top->addWidget(b);
    return b;
  };
  btnOpen = makeButton("btnOpen", "Open", true);
  btnStart = makeButton("btnStart", "Start", false);
  btnStop = makeButton("btnStop", "Stop", false);
  btnPause = makeButton("btnPause", "Pause", false);
  btnResume = makeButton("btnResume", "Resume", false);
  btnWebSite = makeButton("btnWebSite", "Web Site", true);

  cboLogLevel = new QComboBox(client);
  cboLogLevel->setObjectName("cboLogLevel");
  for (const char* level : CLogLevels) cboLogLevel->addItem(level);
  cboLogLevel->setCurrentIndex(5);
  cboLogLevel->setToolTip("LogLevel");
  top->addWidget(cboLogLevel);
  top->addStretch();

  mmoLog = new QPlainTextEdit(client);
  mmoLog->setObjectName("mmoLog");
  mmoLog->setReadOnly(true);
  mmoLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  mmoLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  mmoLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  lblStatus = new QLabel("Status", client);
  lblStatus->setObjectName("lblStatus");
  ProgressBar1 = new QProgressBar(client);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);

  // The buttons in one row at the top, the memo filling the middle, the status label
  // and the progress bar at the bottom.
  rows->addLayout(top);
  rows->addWidget(mmoLog, 1);
  rows->addWidget(lblStatus);
  bottom->addWidget(ProgressBar1, 1);
  rows->addLayout(bottom);

  setTabOrder(btnOpen, btnStart);
  setTabOrder(btnStart, btnStop);
  setTabOrder(btnStop, btnPause);
  setTabOrder(btnPause, btnResume);
  setTabOrder(btnResume, btnWebSite);
  setTabOrder(btnWebSite, cboLogLevel);
  setTabOrder(cboLogLevel, mmoLog);

  connect(btnOpen, &QPushButton::clicked, this, &TfrmConverterPlayer::btnOpenClick);
  connect(btnStart, &QPushButton::clicked, this, &TfrmConverterPlayer::btnStartClick);
  connect(btnStop, &QPushButton::clicked, this, &TfrmConverterPlayer::btnStopClick);
  connect(btnPause, &QPushButton::clicked, this, &TfrmConverterPlayer::btnPauseClick);
  connect(btnResume, &QPushButton::clicked, this, &TfrmConverterPlayer::btnResumeClick);
  connect(btnWebSite, &QPushButton::clicked, this, &TfrmConverterPlayer::btnWebSiteClick);
  connect(cboLogLevel, &QComboBox::currentIndexChanged, this, &TfrmConverterPlayer::cboLogLevelChange);

  VEDavirev = std::make_unique<FFEncode::TVEDavirev>();
  VEDavirev->OnProgress = FFEncode::TEncProgressEvent::Bind<&TfrmConverterPlayer::VEDavirevProgress>(this);
  VEDavirev->OnTerminate = FFEncode::TTerminateEvent::Bind<&TfrmConverterPlayer::VEDavirevTerminate>(this);
  ZAVereve = std::make_unique<FFPlay::TZAVereve>();
  ZAVereve->OnOpenFailed = FFBasePlay::TNotifyEvent::Bind<&TfrmConverterPlayer::ZAVereveOpenFailed>(this);
  ZAVereve->OnState = FFBaseComponent::TPlayStateEvent::Bind<&TfrmConverterPlayer::ZAVereveState>(this);
  if (OnX11()) {
    // The memo's viewport is an X11 window: SDL must bind it through its X11 driver,
    // whatever else the environment asks for.
    ZAVereve->SetVideoDriver("x11");
    FMemoBinding = std::make_unique<PlayerGui::TPlayerWindowBinding>(ZAVereve.get(), mmoLog->viewport());
  }
  VEDovedo = std::make_unique<FFLog::TVEDovedo>();
  VEDovedo->SetOnLog(FFLoad::TLogEvent::Bind<&TfrmConverterPlayer::VEDovedoLog>(this));

  FormCreate();
}

TfrmConverterPlayer::~TfrmConverterPlayer() {
  // Nothing may reach a form that is going: the encoder clears its handlers, stops and
  // waits for its tasks; lines of the log still on their way are dropped. The widgets
  // go after the components.
  VEDavirev.reset();
  // The player's handlers stay set until the player is gone: its threads read them
  // until they end, and what they touch (the memo) outlives the player. It lets go of
  // the memo's window before that window is destroyed; the binding goes before the
  // player it serves.
  ZAVereve->Stop(true);
  ZAVereve->ReleaseHostWindow();
  FMemoBinding.reset();
  ZAVereve.reset();
  VEDovedo->SetOnLog({});
}

QString TfrmConverterPlayer::OpenDialogFilter() {
  const QString video =
      "*.3GP *.ASF *.AVI *.AVM *.AVS *.DAT *.FLV *.MKV *.MOV *.MP4 *.MPEG *.MPG *.NSV *.OGM *.RM *.RMVB *.TP "
      "*.TS *.VOB *.WMV";
  const QString audio =
      "*.AAC *.AC3 *.APE *.DTS *.FLAC *.M4A *.MKA *.MP2 *.MP3 *.MPA *.MPC *.OFR *.OGG *.RA *.TTA *.WAV *.WMA";
  const QString picture = "*.BMP *.GIF *.JPEG *.JPG *.PNG";
  return "Video/Audio/Picture Files (" + video + " " + audio + " " + picture + ");;" + "Video Files (" + video +
         ");;" + "Audio Files (" + audio + ");;" + "Picture Files (" + picture + ");;" + "All Files (*)";
}

void TfrmConverterPlayer::FormCreate() {
  const std::string version = VEDavirev->GetVersion();
  FApplicationTitle = Q(Platform::Format("Demo of VEDavirev %s", version.c_str()));
  QApplication::setApplicationName(FApplicationTitle);
  setWindowTitle(Q(Platform::Format("Demo of VEDavirev %s (Converter/Player) - ", version.c_str()) +
                   VEDavirev->GetProductTitle()));

  FHomePage = ConverterPlayerUtils::HomePage(QLocale::system().language() == QLocale::Chinese);
  // The address, an empty line, and the next line written below that.
  mmoLog->setPlainText(Q(FHomePage) + "\n");
  btnWebSite->setToolTip(Q(FHomePage));

  FFBaseComponent::TFFBaseComponent::MaskFPUExceptions();
}

void TfrmConverterPlayer::AddMemoLine(const QString& ALine) { mmoLog->appendPlainText(ALine); }

bool TfrmConverterPlayer::LoadConverterLibraries() {
  if (VEDavirev->LibrariesLoaded()) return true;
  if (VEDavirev->LoadLibraries(MyUtils::ExePath() + "LibAV")) return true;
  AddMemoLine(Q(VEDavirev->LastErrMsg()));
  return false;
}

QString TfrmConverterPlayer::ChooseInputFile() {
  return QFileDialog::getOpenFileName(this, QString(), QString(), OpenDialogFilter(), nullptr,
                                      QFileDialog::ReadOnly);
}

void TfrmConverterPlayer::ShowWarning(const QString& AText) {
  QMessageBox::warning(this, FApplicationTitle, AText);
}

void TfrmConverterPlayer::btnOpenClick() {
  if (!LoadConverterLibraries()) return;

  const QString chosen = ChooseInputFile();
  if (chosen.isEmpty()) return;

  VEDavirev->ClearTasks();
  ProgressBar1->setValue(0);
  // The file system's own bytes for the name, as the dialog decoded them.
  const std::string input = QFile::encodeName(chosen).toStdString();
  const std::string output = ConverterPlayerUtils::BuildOutputFileName(input, ConverterPlayerUtils::COutputSuffix);
  const std::string commandLine = ConverterPlayerUtils::BuildCommandLine(input, output);
  if (!AddConversion(commandLine)) {
    // The earlier task went with ClearTasks: nothing is left to start.
    btnStart->setEnabled(false);
    return;
  }

  AddMemoLine("");
  AddMemoLine("***Ready to go!");
  AddMemoLine("");
  btnStart->setEnabled(true);
  btnStart->setFocus();

  PreviewInMemo(chosen);
}

void TfrmConverterPlayer::btnStartClick() {
  btnOpen->setEnabled(false);
  btnStart->setEnabled(false);
  btnStop->setEnabled(true);
  btnPause->setEnabled(true);
  btnResume->setEnabled(false);
  btnStop->setFocus();
  StartConversion();
  ResumePreview();
}

void TfrmConverterPlayer::btnStopClick() {
  btnStop->setEnabled(false);
  StopConversion();
  StopPreview();
}

void TfrmConverterPlayer::btnPauseClick() {
  btnPause->setEnabled(false);
  btnResume->setEnabled(true);
  PauseConversion();
}

void TfrmConverterPlayer::btnResumeClick() {
  btnPause->setEnabled(true);
  btnResume->setEnabled(false);
  ResumeConversion();
}

void TfrmConverterPlayer::cboLogLevelChange(int AIndex) {
  if (AIndex < 0) return;
  VEDovedo->SetLogLevel(static_cast<FFLoad::TLogLevel>(AIndex));
}

bool TfrmConverterPlayer::OpenAddress(const QString& AAddress) {
  return QDesktopServices::openUrl(QUrl(AAddress));
}

void TfrmConverterPlayer::btnWebSiteClick() {
  const QString address =
      Q(ConverterPlayerUtils::BuildWebSiteAddress(FHomePage, MyUtils::ExeFile()));
  if (OpenAddress(address)) return;
  ShowWarning("No web browser could be started to open\n" + address +
              "\n\nPlease open this address in a browser yourself.");
}

void TfrmConverterPlayer::VEDovedoLog(Platform::TObject*, int, FFLoad::TLogLevel, const std::string& ALogMsg) {
  QString line = Q(ALogMsg);
  while (line.endsWith('\n') || line.endsWith('\r')) line.chop(1);
  if (OnGuiThread()) {
    AddMemoLine(line);
    return;
  }
  QMetaObject::invokeMethod(this, [this, line] { AddMemoLine(line); }, Qt::QueuedConnection);
}

void TfrmConverterPlayer::VEDavirevProgress(Platform::TObject*, FFEncode::PProgressInfo AProgressInfo) {
  const FFEncode::TProgressInfo info = *AProgressInfo;
  auto show = [this, info] {
    if (FClosed) return;
    ShowProgress(info.FrameNumber, info.FPS, info.TotalSize, info.CurrentDuration, info.TotalDuration);
  };
  if (OnGuiThread())
    show();
  else
    QMetaObject::invokeMethod(this, show, Qt::QueuedConnection);
}

void TfrmConverterPlayer::VEDavirevTerminate(Platform::TObject*, const FFEncode::TTerminateInfo& ATerminateInfo) {
  const FFEncode::TTerminateInfo info = ATerminateInfo;
  auto ended = [this, info] {
    if (!FClosed) TaskEnded(info.TaskIndex, info.Finished, info.HasException, Q(info.ExceptionMsg));
  };
  if (OnGuiThread())
    ended();
  else
    QMetaObject::invokeMethod(this, ended, Qt::QueuedConnection);
}

void TfrmConverterPlayer::ShowProgress(int AFrameNumber, int AFPS, std::int64_t ATotalSize,
                                       std::int64_t ACurrentDuration, std::int64_t ATotalDuration) {
  lblStatus->setText(Q(Platform::Format("Frame number: %d; FPS: %d; Size: %lld; Time: %lld", AFrameNumber, AFPS,
                                        static_cast<long long>(ATotalSize),
                                        static_cast<long long>(ACurrentDuration))));
  // Past the expected end (the estimate was short) the bar stays full rather than keep
  // its last value, which is what the bar does with a value out of its range.
  if (ATotalDuration > 0)
    ProgressBar1->setValue(static_cast<int>(std::clamp<std::int64_t>(ACurrentDuration * 100 / ATotalDuration, 0, 100)));
}

void TfrmConverterPlayer::TaskEnded(int ATaskIndex, bool AFinished, bool AHasException,
                                    const QString& AExceptionMsg) {
  if (ATaskIndex < 0) {
    btnOpen->setEnabled(true);
    btnStart->setEnabled(false);
    btnStop->setEnabled(false);
    btnPause->setEnabled(false);
    btnResume->setEnabled(false);
    StopPreview();
  } else if (AFinished) {
    ProgressBar1->setValue(100);
  }
  // The box waits for the user in an event loop of its own: it opens once the event is
  // done, so the encoder is never held up by it.
  if (AHasException)
    QMetaObject::invokeMethod(this, [this, AExceptionMsg] { ShowWarning(AExceptionMsg); }, Qt::QueuedConnection);
}

void TfrmConverterPlayer::closeEvent(QCloseEvent* AEvent) {
  FClosed = true;
  CloseConversion();
  VEDovedo->SetOnLog({});
  AEvent->accept();
}

// ---- The conversion ----------------------------------------------------------------------

bool TfrmConverterPlayer::AddConversion(const std::string& ACommandLine) {
  std::string error;
  try {
    if (VEDavirev->AddTask(ACommandLine) >= 0) return true;
    error = VEDavirev->LastErrMsg();
  } catch (const Platform::Exception& e) {
    error = e.Message();
  }
  AddMemoLine("");
  AddMemoLine("***Add task error: " + Q(error));
  AddMemoLine("");
  return false;
}

void TfrmConverterPlayer::StartConversion() { VEDavirev->StartTask(1); }
void TfrmConverterPlayer::StopConversion() { VEDavirev->Stop(true); }
void TfrmConverterPlayer::PauseConversion() { VEDavirev->Pause(); }
void TfrmConverterPlayer::ResumeConversion() { VEDavirev->Resume(); }

void TfrmConverterPlayer::CloseConversion() {
  // Worker threads read the handlers meanwhile: the setters change them under the
  // encoder's locks.
  VEDavirev->SetOnProgress({});
  VEDavirev->SetOnTerminate({});
  VEDavirev->Stop(true);
}

// ---- The preview -------------------------------------------------------------------------

void TfrmConverterPlayer::PreviewInMemo(const QString& AFileName) {
  if (!ZAVereve->LibrariesLoaded() && !ZAVereve->LoadLibraries(MyUtils::ExePath() + "LibAV")) {
    AddMemoLine(Q(ZAVereve->LastErrMsg()));
    return;
  }
  // The player draws into the memo's own native window (an X11 window id); without X11
  // it shows the file in a window of its own.
  const Platform::HWND handle = FMemoBinding ? FMemoBinding->Handle() : nullptr;
  FPlayErrorShown = false;
  if (!ZAVereve->Open(QFile::encodeName(AFileName).toStdString(), handle, "-pause")) AddPlayError();
}

void TfrmConverterPlayer::ResumePreview() { ZAVereve->Resume(); }

void TfrmConverterPlayer::StopPreview() { ZAVereve->Stop(false); }

void TfrmConverterPlayer::ZAVereveState(Platform::TObject*, FFBaseComponent::TPlayState APlayState) {
  if (APlayState != FFBaseComponent::psStop) return;
  // The player cleared the window as it closed its display; the memo paints its log
  // again where the picture was.
  if (OnGuiThread())
    mmoLog->viewport()->update();
  else
    QMetaObject::invokeMethod(this, [this] { mmoLog->viewport()->update(); }, Qt::QueuedConnection);
}

void TfrmConverterPlayer::AddPlayError() {
  // A failed open may both return False and raise OnOpenFailed: one report is enough.
  if (FPlayErrorShown) return;
  FPlayErrorShown = true;
  AddMemoLine("");
  AddMemoLine("***Cannot play, error: " + Q(ZAVereve->LastErrMsg()));
  AddMemoLine("");
}

void TfrmConverterPlayer::ZAVereveOpenFailed(Platform::TObject*) {
  if (OnGuiThread())
    AddPlayError();
  else
    QMetaObject::invokeMethod(this, [this] { AddPlayError(); }, Qt::QueuedConnection);
}
