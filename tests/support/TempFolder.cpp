#include "TempFolder.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace TempFolder {

std::string PathOf(const std::string& AName) {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  return (dir / AName).string();
}

std::string MakeDir(const std::string& APrefix) {
  std::string pattern = PathOf(APrefix + "_XXXXXX");
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

std::string MakeFile(const std::string& APrefix, const std::string& ASuffix) {
  std::string pattern = PathOf(APrefix + "_XXXXXX" + ASuffix);
  const int fd = ::mkstemps(pattern.data(), static_cast<int>(ASuffix.size()));
  if (fd < 0) return std::string();
  ::close(fd);
  return pattern;
}

}  // namespace TempFolder
