// A Qt host on xcb for the tests that draw into native X windows.
#pragma once
#include <functional>

class QApplication;

namespace XcbHost {

// The process's Qt application on xcb, made on first use; nullptr where there is no X
// display or Qt already runs on another platform (the caller skips its test then).
QApplication* App();

// Serves the main thread's queue and Qt's events until APredicate holds, within the
// pump's bound for a hung run: whether it held.
bool PumpUntil(const std::function<bool()>& APredicate);

}  // namespace XcbHost
