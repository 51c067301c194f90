#include "platform/MessageHook.h"

#include <cstdio>
#include <mutex>

namespace Platform {

namespace {
std::mutex& HandlerLock() {
  static std::mutex* lock = new std::mutex;  // usable until the process ends
  return *lock;
}
TMessageBoxHandler& Handler() {
  static TMessageBoxHandler* handler = new TMessageBoxHandler;
  return *handler;
}
}  // namespace

void SetMessageBoxHandler(TMessageBoxHandler AHandler) {
  std::lock_guard<std::mutex> g(HandlerLock());
  Handler() = std::move(AHandler);
}

void ShowInformationBox(const std::string& AText, const std::string& ATitle) {
  TMessageBoxHandler handler;
  {
    std::lock_guard<std::mutex> g(HandlerLock());
    handler = Handler();
  }
  if (handler) {
    handler(AText, ATitle);
    return;
  }
  std::fprintf(stderr, "%s: %s\n", ATitle.c_str(), AText.c_str());
  std::fflush(stderr);
}

}  // namespace Platform
