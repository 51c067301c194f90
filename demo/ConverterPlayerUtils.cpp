#include "demo/ConverterPlayerUtils.h"

#include <cctype>
#include <filesystem>
#include <system_error>

namespace ConverterPlayerUtils {

namespace {

// The position of the extension's dot in the last path element; npos when it has none.
std::string::size_type ExtensionDot(const std::string& AFileName) {
  const std::string::size_type slash = AFileName.rfind('/');
  const std::string::size_type dot = AFileName.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string::npos;
  return dot;
}

std::string WithoutExtension(const std::string& AFileName) {
  const std::string::size_type dot = ExtensionDot(AFileName);
  return dot == std::string::npos ? AFileName : AFileName.substr(0, dot);
}

bool Exists(const std::string& AFileName) {
  std::error_code ec;
  // A broken symbolic link still takes the name.
  return std::filesystem::exists(std::filesystem::symlink_status(AFileName, ec));
}

}  // namespace

std::string BuildOutputFileName(const std::string& AFileName, const std::string& ASuffix) {
  const std::string base = WithoutExtension(AFileName);
  std::string candidate = base + "_(new)" + ASuffix;
  for (unsigned n = 1; Exists(candidate); ++n) candidate = base + "_(new_" + std::to_string(n) + ")" + ASuffix;
  return candidate;
}

std::string QuoteArgument(const std::string& AArgument) {
  std::string quoted = "\"";
  std::string::size_type backslashes = 0;
  for (char c : AArgument) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      // n backslashes before a quote: 2n + 1 give them and a literal quote.
      quoted.append(2 * backslashes + 1, '\\');
      backslashes = 0;
    } else {
      quoted.append(backslashes, '\\');  // not before a quote: literal
      backslashes = 0;
    }
    if (c != '\\') quoted += c;
  }
  // Before the closing quote: 2n give n.
  quoted.append(2 * backslashes, '\\');
  quoted += '"';
  return quoted;
}

namespace {
std::string FileArgument(const std::string& AFileName) {
  if (AFileName.empty() || AFileName[0] == '/') return AFileName;
  const std::string::size_type colon = AFileName.find(':');
  if (AFileName[0] == '-' || (colon != std::string::npos && colon < AFileName.find('/')))
    return "./" + AFileName;
  return AFileName;
}
}  // namespace

std::string BuildCommandLine(const std::string& AInput, const std::string& AOutput) {
  return "-i " + QuoteArgument(FileArgument(AInput)) + " " + CConvertOptions + " " +
         QuoteArgument(FileArgument(AOutput));
}

std::string HomePage(bool AChinese) {
  return AChinese ? "https://cn.qorvane.example" : "https://www.qorvane.example";
}

std::string BuildWebSiteAddress(const std::string& AHomePage, const std::string& AProgramFile) {
  const std::string::size_type slash = AProgramFile.rfind('/');
  std::string name = WithoutExtension(slash == std::string::npos ? AProgramFile : AProgramFile.substr(slash + 1));
  std::string from;
  for (char c : name) {
    if (c == '[' || c == ']') continue;
    from += c == ' ' ? '_' : c;
  }
  std::string address = AHomePage + "/?from=exe_" + from;
  for (char& c : address) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return address;
}

}  // namespace ConverterPlayerUtils
