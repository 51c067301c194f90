// The logger component: what a host places to receive the system's log lines and to set
// logging up. Every property reads and writes the process-wide log worker VEDovedo, so
// the settings are process-wide and only one logger may exist at run time.
#pragma once
#include <string>

#include "components/FFBaseComponent.h"
#include "runtime/FFLoad.h"

namespace FFLog {

using FFLoad::TLogEvent;
using FFLoad::TLogLevel;

class TVEDovedo : public FFBaseComponent::TFFBaseComponent {
 public:
  // Raises EAssertionFailed "Allow creating only one instance of TVEDovedo." while
  // another logger exists, unless this one is being designed.
  explicit TVEDovedo(Platform::TComponent* AOwner = nullptr);
  // Removes the OnLog handler this logger installed, when the worker still has it.
  ~TVEDovedo() override;

  // Published (defaults: Active True, LogLevel llInfo, LogToFile False, LogWithLevel,
  // LogWithThreadID and LogWithTime True, Synchronous False, TriggerEventInMainThread
  // True).
  bool GetActive() const;
  void SetActive(bool AValue);
  std::string GetLogFile() const;
  void SetLogFile(const std::string& AValue);
  TLogLevel GetLogLevel() const;
  // Sets the level of every log source of the process, FFmpeg's included.
  void SetLogLevel(TLogLevel AValue);
  bool GetLogToFile() const;
  void SetLogToFile(bool AValue);
  bool GetLogWithLevel() const;
  void SetLogWithLevel(bool AValue);
  bool GetLogWithThreadID() const;
  void SetLogWithThreadID(bool AValue);
  bool GetLogWithTime() const;
  void SetLogWithTime(bool AValue);
  bool GetSynchronous() const;
  void SetSynchronous(bool AValue);
  bool GetTriggerEventInMainThread() const;
  void SetTriggerEventInMainThread(bool AValue);
  // The worker's handler; setting it also keeps a copy here.
  TLogEvent GetOnLog() const;
  void SetOnLog(TLogEvent AValue);

 private:
  TLogEvent FOnLog;
};

}  // namespace FFLog
