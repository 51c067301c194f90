// The converter/player form: converts a chosen media file to a small MPEG-4 file and
// shows the progress and the libraries' log.
//
// Threads: every slot and every widget access runs on the GUI thread. The component
// handlers normally arrive there already (the components synchronise with the main
// thread); when one arrives on another thread (synchronisation switched off while a
// component waits on the main thread), it queues itself onto the GUI thread with this
// form as the context, so a call still queued when the form goes is dropped by Qt.
#pragma once
#include <QMainWindow>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>

#include "components/FFEncode.h"
#include "components/FFLog.h"
#include "components/FFPlay.h"
#include "components/gui/PlayerWindowBinding.h"
#include "platform/Object.h"

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class TfrmConverterPlayer : public QMainWindow {
  Q_OBJECT

 public:
  explicit TfrmConverterPlayer(QWidget* AParent = nullptr);
  ~TfrmConverterPlayer() override;

  // The file filter of the open dialog (five entries, Qt's syntax).
  static QString OpenDialogFilter();

 protected:
  void closeEvent(QCloseEvent* AEvent) override;
  // The open dialog: the chosen file, or an empty text when the user cancelled.
  virtual QString ChooseInputFile();
  // A warning box titled with the application's title.
  virtual void ShowWarning(const QString& AText);
  // Hands AAddress to the desktop's web browser; False when none could be started.
  virtual bool OpenAddress(const QString& AAddress);

 private slots:
  void btnOpenClick();
  void btnStartClick();
  void btnStopClick();
  void btnPauseClick();
  void btnResumeClick();
  void btnWebSiteClick();
  void cboLogLevelChange(int AIndex);

 private:
  void FormCreate();
  void AddMemoLine(const QString& ALine);
  // Library log lines, on whichever thread the logger delivers them.
  void VEDovedoLog(Platform::TObject* Sender, int AThreadID, FFLoad::TLogLevel ALogLevel,
                   const std::string& ALogMsg);
  void ZAVereveOpenFailed(Platform::TObject* Sender);
  // The preview stopped: the player has let go of the memo's window, whose log shows again.
  void ZAVereveState(Platform::TObject* Sender, FFBaseComponent::TPlayState APlayState);
  void VEDavirevProgress(Platform::TObject* Sender, FFEncode::PProgressInfo AProgressInfo);
  void VEDavirevTerminate(Platform::TObject* Sender, const FFEncode::TTerminateInfo& ATerminateInfo);
  // The status text and bar of a progress report.
  void ShowProgress(int AFrameNumber, int AFPS, std::int64_t ATotalSize, std::int64_t ACurrentDuration,
                    std::int64_t ATotalDuration);
  // A task ended (ATaskIndex >= 0) or the whole run ended (ATaskIndex < 0).
  void TaskEnded(int ATaskIndex, bool AFinished, bool AHasException, const QString& AExceptionMsg);
  // Loads the libraries the conversion needs from LibAV beside the program; False, with
  // the encoder's error text in the memo, when they cannot be loaded.
  bool LoadConverterLibraries();
  // The conversion of the chosen file: one task with ACommandLine. AddConversion
  // writes the error to the memo and returns False when the task cannot be added.
  bool AddConversion(const std::string& ACommandLine);
  void StartConversion();
  void StopConversion();
  void PauseConversion();
  void ResumeConversion();
  // The form closes: no more progress or end reports, the running task stopped.
  void CloseConversion();
  // The preview of the chosen file inside the memo's window: opened paused, resumed
  // with the conversion, stopped at its end. The player's libraries are loaded on
  // first use; failures go to the memo.
  void PreviewInMemo(const QString& AFileName);
  void ResumePreview();
  void StopPreview();
  void AddPlayError();

  std::string FHomePage;
  QString FApplicationTitle;

  QPushButton* btnOpen;
  QPushButton* btnStart;
  QPushButton* btnStop;
  QPushButton* btnPause;
  QPushButton* btnResume;
  QPushButton* btnWebSite;
  QComboBox* cboLogLevel;
  QPlainTextEdit* mmoLog;
  QProgressBar* ProgressBar1;
  QLabel* lblStatus;

  std::unique_ptr<FFEncode::TVEDavirev> VEDavirev;
  std::unique_ptr<FFPlay::TZAVereve> ZAVereve;
  // The memo's viewport as the player's window: resizes and repaints reach the player,
  // and the player lets go of the window before it is destroyed. Goes before ZAVereve.
  std::unique_ptr<PlayerGui::TPlayerWindowBinding> FMemoBinding;
  // The error of the current open was written to the memo (the open's result and the
  // failure event both report it; the memo shows it once).
  bool FPlayErrorShown = false;
  // Set when the form closes: the run it stopped reports nothing more to it, not even
  // what was already on its way through the event loop.
  bool FClosed = false;
  std::unique_ptr<FFLog::TVEDovedo> VEDovedo;
};
