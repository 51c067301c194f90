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

// -i "AInput" <CConvertOptions> "AOutput"
std::string BuildCommandLine(const std::string& AInput, const std::string& AOutput);

// The home page for the user's language.
std::string HomePage(bool AChinese);

// AHomePage + "/?from=exe_" + the program's name (no folder, no extension) with "["
// and "]" removed and blanks made "_", all lower case.
std::string BuildWebSiteAddress(const std::string& AHomePage, const std::string& AProgramFile);

}  // namespace ConverterPlayerUtils
