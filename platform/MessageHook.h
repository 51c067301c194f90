// Message boxes that the run-time units raise (for example when the log file cannot be
// written). A GUI host installs a handler that shows the box on its main thread; until
// then, and in headless hosts, the text goes to standard error.
#pragma once
#include <functional>
#include <string>

namespace Platform {

// Called on whatever thread raised the box; it must not wait for the main thread (a
// GUI handler posts the box and returns).
using TMessageBoxHandler = std::function<void(const std::string& AText, const std::string& ATitle)>;

// Installs AHandler; an empty handler restores the standard-error default.
void SetMessageBoxHandler(TMessageBoxHandler AHandler);

// An information box with ATitle and AText.
void ShowInformationBox(const std::string& AText, const std::string& ATitle);

}  // namespace Platform
