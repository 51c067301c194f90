#include "runtime/OptCommon.h"

#include "platform/Dispatcher.h"
#include "platform/Exception.h"
#include "platform/Format.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"

namespace OptCommon {

namespace {

using FFLoad::FFLoader;
using FFLoad::TLibrary;

constexpr int CIndent = 1;         // indent the lines by two blanks
constexpr int CVersion = 2;        // library lines: the versions
constexpr int CConfiguration = 4;  // library lines: the configurations
constexpr int CNotice = 8;         // program lines: the notices

struct TLibraryLine {
  TLibrary Lib;
  const char* Name;
};
const TLibraryLine CLibraryLines[] = {
    {FFLoad::avUtil, "avutil"},     {FFLoad::avCodec, "avcodec"},   {FFLoad::avFormat, "avformat"},
    {FFLoad::avDevice, "avdevice"}, {FFLoad::avFilter, "avfilter"}, {FFLoad::swScale, "swscale"},
    {FFLoad::swResample, "swresample"}};

const char* IndentOf(int AFlags) { return (AFlags & CIndent) ? "  " : ""; }

void AddProgramLines(Platform::TStringList& AList, int AFlags) {
  const char* indent = IndentOf(AFlags);
  std::string title = FFLoad::CBannerTitle;
  if (AFlags & CNotice) title += std::string(" ") + FFLoad::CBannerNotice;
  AList.Add(title);
  AList.Add(Platform::Format("%sbuilt with %s", indent, MyUtils::GetCompiler().c_str()));
  std::string ffmpeg = "FFmpeg library version 8.0";
  if (AFlags & CNotice) ffmpeg += " Copyright (c) 2000-2025 the FFmpeg developers";
  AList.Add(ffmpeg);
  if (FFLoader->CheckLibConfigurations())
    AList.Add(Platform::Format("%sconfiguration: %s", indent,
                               FFLoader->GetLibConfiguration(FFLoad::avUtil).c_str()));
}

void AddLibraryLines(Platform::TStringList& AList, int AFlags) {
  const char* indent = IndentOf(AFlags);
  for (const TLibraryLine& line : CLibraryLines) {
    if (AFlags & CVersion) {
      const Platform::Cardinal built = FFLoader->GetLibBuildVer(line.Lib);
      const Platform::Cardinal file = FFLoader->GetLibFileVer(line.Lib);
      AList.Add(Platform::Format("%slib%-11s %2d.%3d.%3d / %2d.%3d.%3d", indent, line.Name,
                                 (FFLoad::AV_VERSION_MAJOR)(built), (FFLoad::AV_VERSION_MINOR)(built),
                                 (FFLoad::AV_VERSION_MICRO)(built), (FFLoad::AV_VERSION_MAJOR)(file),
                                 (FFLoad::AV_VERSION_MINOR)(file), (FFLoad::AV_VERSION_MICRO)(file)));
    }
    if (AFlags & CConfiguration)
      AList.Add(Platform::Format("%s%-11s configuration: %s", indent, line.Name,
                                 FFLoader->GetLibConfiguration(line.Lib).c_str()));
  }
}

[[noreturn]] void NotAvailable(const char* APrinter) {
  throw Platform::Exception(
      Platform::Format("The information printer %s is not available yet.", APrinter));
}

}  // namespace

#define OSTREVAN_PENDING_PRINTER(name) \
  int name(Platform::TStringList&) { NotAvailable(#name); }
OSTREVAN_PENDING_PRINTER(show_bsfs)
OSTREVAN_PENDING_PRINTER(show_codecs)
OSTREVAN_PENDING_PRINTER(show_decoders)
OSTREVAN_PENDING_PRINTER(show_demuxers)
OSTREVAN_PENDING_PRINTER(show_devices)
OSTREVAN_PENDING_PRINTER(show_encoders)
OSTREVAN_PENDING_PRINTER(show_filters)
OSTREVAN_PENDING_PRINTER(show_formats)
OSTREVAN_PENDING_PRINTER(show_layouts)
OSTREVAN_PENDING_PRINTER(show_muxers)
OSTREVAN_PENDING_PRINTER(show_pix_fmts)
OSTREVAN_PENDING_PRINTER(show_protocols)
OSTREVAN_PENDING_PRINTER(show_sample_fmts)
OSTREVAN_PENDING_PRINTER(show_dispositions)
OSTREVAN_PENDING_PRINTER(show_colors)
#undef OSTREVAN_PENDING_PRINTER

void show_banner() {
  FFLoad::TFFLogWorker* worker = FFLoad::VEDovedo;
  if (!worker || !FFLoader) return;
  Platform::TStringList list;
  AddProgramLines(list, CIndent | CNotice);
  if (!FFLoader->CheckLibConfigurations()) AddLibraryLines(list, CIndent | CConfiguration);
  AddLibraryLines(list, CIndent | CVersion);
  // On the main thread the banner is delivered before Load returns.
  const bool mainThread = Platform::IsMainThread();
  const bool synchronous = worker->GetSynchronous();
  if (mainThread) worker->SetSynchronous(true);
  try {
    worker->Log(list.Text());
  } catch (...) {
    if (mainThread) worker->SetSynchronous(synchronous);
    throw;
  }
  if (mainThread) worker->SetSynchronous(synchronous);
}

}  // namespace OptCommon
