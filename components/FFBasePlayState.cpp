#include "components/FFBasePlayState.h"

namespace FFBasePlay {

const char CStateHandler[] = "OnState handler";
const char CFileOpenHandler[] = "OnFileOpen handler";
const char COpenFailedHandler[] = "OnOpenFailed handler";
const char CBeforeFindStreamInfoHandler[] = "OnBeforeFindStreamInfo handler";
const char CErrorHandler[] = "OnError handler";
const char CFrameHookHandler[] = "OnFrameHook handler";
const char CVideoHookHandler[] = "OnVideoHook handler";
const char CAudioHookHandler[] = "OnAudioHook handler";
const char CWaitedOpen[] = "waited Open";

void TPlayerCore::ReportError(const std::string& AText, bool AKeep) {
  Log(FFLoad::llError, AText);
  if (AKeep) SetLastErrMsg(AText);
}

void TPlayerCore::Log(FFLoad::TLogLevel ALevel, const std::string& AText) {
  FFLoad::VEDovedo->Log(LogSender, ALevel, AText);
}

std::string TPlayerCore::LastErrMsg() const {
  std::lock_guard<std::mutex> g(FErrLock);
  return FLastErrMsg;
}

void TPlayerCore::SetLastErrMsg(const std::string& AText) {
  std::lock_guard<std::mutex> g(FErrLock);
  FLastErrMsg = AText;
}

}  // namespace FFBasePlay
