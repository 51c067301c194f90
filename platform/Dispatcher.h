// The main thread's queue of calls, and message-only windows built on it.
//
// One process-wide dispatcher: any thread may post a call (returns at once) or send
// one (blocks until the main thread has run it; on the main thread it runs at once).
// The main thread drains the queue: a headless host (the tests) pumps it itself with
// ProcessMainThreadQueue / WaitForMainThreadWork; a GUI host installs a waker that
// schedules a drain on its own event loop. Nothing here knows of any GUI toolkit.
//
// Message-only windows: a window is a receiver with a window procedure (a bound
// method). PostMessage queues a message for it; SendMessage delivers it on the main
// thread and returns the procedure's result. Messages to a destroyed window are
// dropped (SendMessage then returns 0).
#pragma once
#include <functional>
#include <string>

#include "platform/Method.h"
#include "platform/Types.h"

namespace Platform {

// The main thread is the thread that loaded the program, unless a host names another.
bool IsMainThread();
void SetMainThreadToCurrent();

void PostToMainThread(std::function<void()> ACall);
// Runs ACall on the main thread and returns when it has run; an exception it raises
// is raised again in the caller.
void SendToMainThread(const std::function<void()>& ACall);

// Runs the queued calls (main thread only); True when at least one ran.
bool ProcessMainThreadQueue();
// Blocks until a call is queued, NotifyMainThread is called, or AMilliseconds pass
// (negative: no limit); True unless the time ran out.
bool WaitForMainThreadWork(int AMilliseconds);
// Wakes a main thread blocked in WaitForMainThreadWork (for example: a thread ended).
void NotifyMainThread();
// The GUI host's hook, called from the posting thread after each post or notify.
void SetMainThreadWaker(std::function<void()> AWaker);

struct TMessage {
  Cardinal Msg;
  WPARAM WParam;
  LPARAM LParam;
  LRESULT Result;
};
using TWndMethod = TMethod<void(TMessage& AMessage)>;

constexpr Cardinal WM_USER = 0x400;

// Creates a message-only window of the class AClassName; without a method the
// window's procedure is the default one (result 0). The owner destroys it.
HWND CreateMsgWindow(const std::string& AClassName, TWndMethod AProc = {});
void SetWindowProc(HWND AWnd, TWndMethod AProc);
std::string GetWindowClassName(HWND AWnd);
bool IsWindow(HWND AWnd);
void DestroyWindow(HWND AWnd);

bool PostMessage(HWND AWnd, Cardinal AMsg, WPARAM AWParam, LPARAM ALParam);
LRESULT SendMessage(HWND AWnd, Cardinal AMsg, WPARAM AWParam, LPARAM ALParam);

}  // namespace Platform
