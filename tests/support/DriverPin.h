// Keeps the system's GL driver loaded to the end of the test process.
#pragma once

namespace DriverPin {

// Starts EGL once on its surfaceless platform, which loads the GL driver, and marks every
// module then loaded as never to be unloaded. SDL loads the GL libraries for a renderer
// and unloads them with its last window; the driver keeps a few blocks reachable only
// from its own globals, and once the module is gone LeakSanitizer reports them as leaks
// that it can neither name nor suppress. Pinned, the driver's globals stay roots and
// anything it really loses keeps its module name. Nothing happens without EGL.
void PinGraphicsDriver();

}  // namespace DriverPin
