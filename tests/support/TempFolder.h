// Names in the run's temporary folder: $TMPDIR when set (scripts/test.sh gives every run a
// folder of its own there, removed when the run ends, also after a crashed test), /tmp
// otherwise. Tests make their files and folders through these, never under a fixed path.
#pragma once
#include <string>

namespace TempFolder {

// AName inside the temporary folder (nothing is made).
std::string PathOf(const std::string& AName);

// Makes a new folder named APrefix_XXXXXX: its path, or "" when it cannot be made.
std::string MakeDir(const std::string& APrefix);

// Makes a new empty file named APrefix_XXXXXX followed by ASuffix (an extension, say, for
// a demuxer that goes by it): its path, or "" when it cannot be made.
std::string MakeFile(const std::string& APrefix, const std::string& ASuffix = "");

}  // namespace TempFolder
