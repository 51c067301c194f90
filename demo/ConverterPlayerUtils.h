// What the converter/player form computes without any window: the output file name,
// the conversion command line and the web-site address. No Qt here, so the tests link
// it directly.
#pragma once
#include <string>

namespace ConverterPlayerUtils {

// Appended to the input's base name for the converted file.
inline constexpr const char* COutputSuffix = "_qorvane.mp4";
// What the demo makes of every file: small MPEG-4 video with AAC sound.
inline constexpr const char* CConvertOptions =
    "-c:a aac -b:a 128k -ar 44100 -c:v mpeg4 -s 320x240 -b:v 320k";

// The first free name of base + "_(new)" + ASuffix, base + "_(new_1)" + ASuffix,
// base + "_(new_2)" + ASuffix ..., where base is AFileName without its extension.
// "Free" means that nothing of that name exists, file or folder.
std::string BuildOutputFileName(const std::string& AFileName, const std::string& ASuffix);

// AArgument as one argument of a command line that the engine splits by the C
// run-time's rules (MyUtils::parse_cmdline): in double quotes, with a quote and the
// backslashes that run up to a quote or to the closing quote escaped, so that every
// file name (quotes, backslashes, blanks, control characters, any bytes) comes back
// unchanged.
std::string QuoteArgument(const std::string& AArgument);

// -i "AInput" <CConvertOptions> "AOutput", each file quoted with QuoteArgument. A
// relative name that the conversion would misread (a leading "-" taken for an option,
// a ":" taken for a protocol) is given as "./" + the name.
std::string BuildCommandLine(const std::string& AInput, const std::string& AOutput);

// The home page for the user's language.
std::string HomePage(bool AChinese);

// AHomePage + "/?from=exe_" + the program's name (no folder, no extension) with "["
// and "]" removed and blanks made "_", all lower case.
std::string BuildWebSiteAddress(const std::string& AHomePage, const std::string& AProgramFile);

}  // namespace ConverterPlayerUtils
