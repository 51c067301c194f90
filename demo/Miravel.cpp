// Miravel: the demo program. For now it loads the media libraries from the LibAV folder
// beside itself and shows what it found.
#include <QApplication>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QMetaObject>

#include <unistd.h>

#include <string>
#include <vector>

#include "platform/Dispatcher.h"
#include "platform/Format.h"
#include "runtime/AVCodecStubs.h"
#include "runtime/AVDeviceStubs.h"
#include "runtime/AVFilterStubs.h"
#include "runtime/AVFormatStubs.h"
#include "runtime/AVUtilStubs.h"
#include "runtime/MyUtilStubs.h"
#include "runtime/MyUtils.h"
#include "runtime/SDL2Stubs.h"
#include "runtime/SoundTouchStubs.h"
#include "runtime/SwResampleStubs.h"
#include "runtime/SwScaleStubs.h"

namespace {

struct TLibraryRow {
  const char* FileName;
  bool FromFolder;
  void (*Fixup)(const std::string&, Platform::HMODULE);
};

const TLibraryRow CLibraries[] = {
    {"libavutil.so.60", true, AVUtilStubs::AVUtilFixupStubs},
    {"libswscale.so.9", true, SwScaleStubs::SwScaleFixupStubs},
    {"libswresample.so.6", true, SwResampleStubs::SwResampleFixupStubs},
    {"libavcodec.so.62", true, AVCodecStubs::AVCodecFixupStubs},
    {"libavformat.so.62", true, AVFormatStubs::AVFormatFixupStubs},
    {"libavfilter.so.11", true, AVFilterStubs::AVFilterFixupStubs},
    {"libavdevice.so.62", true, AVDeviceStubs::AVDeviceFixupStubs},
    {"libc.so.6", false, MyUtilStubs::MyUtilFixupStubs},
    {"libSDL2-2.0.so.0", false, SDL2Stubs::SDL2FixupStubs},
    {"libSoundTouchDll.so.1", false, SoundTouchStubs::SoundTouchFixupStubs},
};

std::string ExeDirectory() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string path(buf, n > 0 ? n : 0);
  return path.substr(0, path.rfind('/') + 1);
}

QString LoadLibraries() {
  const std::string folder = ExeDirectory() + "LibAV";
  QString report;
  for (const TLibraryRow& row : CLibraries) {
    Platform::Cardinal code = 0;
    Platform::HMODULE h = MyUtils::MyLoadLibrary(row.FromFolder ? folder : "", row.FileName, code);
    if (!h) {
      report += QString::fromStdString(Platform::Format("Load library %s error(#%u): %s\n", row.FileName,
                                                        code, Platform::SysErrorMessage(code).c_str()));
      continue;
    }
    try {
      row.Fixup(row.FileName, h);
      report += QString("%1 loaded\n").arg(row.FileName);
    } catch (const Platform::Exception& e) {
      report += QString::fromStdString(e.Message()) + "\n";
    }
  }
  return report;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  Platform::SetMainThreadToCurrent();
  Platform::SetMainThreadWaker(
      [] { QMetaObject::invokeMethod(qApp, [] { Platform::ProcessMainThreadQueue(); }, Qt::QueuedConnection); });

  QMainWindow form;
  form.setWindowTitle("Miravel");
  auto* memo = new QPlainTextEdit(&form);
  memo->setReadOnly(true);
  form.setCentralWidget(memo);
  form.resize(640, 400);
  memo->setPlainText(LoadLibraries());
  form.show();
  return app.exec();
}
