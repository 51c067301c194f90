#include "components/FFBasePlayState.h"

namespace FFBasePlay {

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
