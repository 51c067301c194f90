// What the previewer's tests read besides its public entries. Only the previewer
// (Previewer.cpp) and its tests include this header.
#pragma once
#include "engine/Previewer.h"

namespace Previewer {

// The factory installed last (nullptr: none), so that a test can put it back.
TPreviewWindowFactory GetPreviewWindowFactory();

}  // namespace Previewer
