#include "components/FFLog.h"

#include <mutex>

#include "platform/Exception.h"

namespace FFLog {

namespace {

using FFLoad::VEDovedo;

std::mutex GInstanceLock;
int GInstanceCount = 0;  // under GInstanceLock

}  // namespace

TVEDovedo::TVEDovedo(Platform::TComponent* AOwner) : TFFBaseComponent(AOwner) {
  std::lock_guard<std::mutex> g(GInstanceLock);
  if (!Designing() && GInstanceCount > 0)
    throw Platform::EAssertionFailed(
        "Allow creating only one instance of TVEDovedo. (FFLog, line 92)");
  ++GInstanceCount;
}

TVEDovedo::~TVEDovedo() {
  {
    std::lock_guard<std::mutex> g(GInstanceLock);
    --GInstanceCount;
  }
  // Only the handler this logger installed goes: one that other code installed since,
  // even the same method of another object, stays.
  if (FOnLog.Assigned() && VEDovedo && VEDovedo->GetOnLog() == FOnLog) VEDovedo->SetOnLog(nullptr);
}

bool TVEDovedo::GetActive() const { return VEDovedo->GetActive(); }
void TVEDovedo::SetActive(bool AValue) { VEDovedo->SetActive(AValue); }
std::string TVEDovedo::GetLogFile() const { return VEDovedo->GetLogFile(); }
void TVEDovedo::SetLogFile(const std::string& AValue) { VEDovedo->SetLogFile(AValue); }
TLogLevel TVEDovedo::GetLogLevel() const { return VEDovedo->GetLogLevel(); }
void TVEDovedo::SetLogLevel(TLogLevel AValue) { VEDovedo->SetLogLevel(AValue); }
bool TVEDovedo::GetLogToFile() const { return VEDovedo->GetLogToFile(); }
void TVEDovedo::SetLogToFile(bool AValue) { VEDovedo->SetLogToFile(AValue); }
bool TVEDovedo::GetLogWithLevel() const { return VEDovedo->GetLogWithLevel(); }
void TVEDovedo::SetLogWithLevel(bool AValue) { VEDovedo->SetLogWithLevel(AValue); }
bool TVEDovedo::GetLogWithThreadID() const { return VEDovedo->GetLogWithThreadID(); }
void TVEDovedo::SetLogWithThreadID(bool AValue) { VEDovedo->SetLogWithThreadID(AValue); }
bool TVEDovedo::GetLogWithTime() const { return VEDovedo->GetLogWithTime(); }
void TVEDovedo::SetLogWithTime(bool AValue) { VEDovedo->SetLogWithTime(AValue); }
bool TVEDovedo::GetSynchronous() const { return VEDovedo->GetSynchronous(); }
void TVEDovedo::SetSynchronous(bool AValue) { VEDovedo->SetSynchronous(AValue); }

bool TVEDovedo::GetTriggerEventInMainThread() const {
  return VEDovedo->GetTriggerEventInMainThread();
}

void TVEDovedo::SetTriggerEventInMainThread(bool AValue) {
  VEDovedo->SetTriggerEventInMainThread(AValue);
}

TLogEvent TVEDovedo::GetOnLog() const { return VEDovedo->GetOnLog(); }

void TVEDovedo::SetOnLog(TLogEvent AValue) {
  FOnLog = AValue;
  VEDovedo->SetOnLog(AValue);
}

}  // namespace FFLog
