// The real libraries for tests that call bound entry points.
#pragma once

namespace TestLibraries {

// Loads the FFmpeg libraries of OSTREVAN_LIBAV_DIR in dependency order and the C
// library, and binds every unit whose entry points are not bound (again, after a test
// unbound them). The libraries stay loaded for the rest of the process. Raises
// Platform::Exception when a library cannot be loaded or bound.
void RequireFFmpegLibraries();

}  // namespace TestLibraries
