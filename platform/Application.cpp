#include "platform/Application.h"

#include <mutex>
#include <vector>

namespace Platform {

namespace {

struct TTerminateProcs {
  std::mutex Lock;
  std::vector<TTerminateProc> Procs;
};

// Built on first use: units register from their static initialization.
TTerminateProcs& Procs() {
  static TTerminateProcs* procs = new TTerminateProcs;  // lives until the process ends
  return *procs;
}

}  // namespace

void AddTerminateProc(TTerminateProc AProc) {
  if (!AProc) return;
  std::lock_guard<std::mutex> g(Procs().Lock);
  Procs().Procs.push_back(AProc);
}

bool CallTerminateProcs() {
  std::vector<TTerminateProc> procs;
  {
    std::lock_guard<std::mutex> g(Procs().Lock);
    procs = Procs().Procs;
  }
  bool result = true;
  for (TTerminateProc proc : procs)
    if (!proc()) result = false;
  return result;
}

}  // namespace Platform
