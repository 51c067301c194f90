#include "engine/Previewer.h"
#include "engine/PreviewerInternal.h"

#include "platform/Method.h"
#include "runtime/FFUtils.h"
#include "runtime/MyUtils.h"

namespace Previewer {

namespace {
std::atomic<TPreviewWindowFactory> GFactory{nullptr};
}

void SetPreviewWindowFactory(TPreviewWindowFactory AFactory) { GFactory.store(AFactory); }
TPreviewWindowFactory GetPreviewWindowFactory() { return GFactory.load(); }

TPreviewer::TPreviewer() = default;

TPreviewer::~TPreviewer() {
  if (!FForm) return;
  // The window belongs to the main thread's toolkit: free it there.
  struct TFree {
    TPreviewWindow* Form;
    void Run() { delete Form; }
  } f{FForm};
  MyUtils::MySynchronize(Platform::TThreadMethod::Bind<&TFree::Run>(&f));
  FForm = nullptr;
}

bool TPreviewer::Show(Platform::TBitmap* ABitmap, int AFrameNumber, std::int64_t APTS) {
  if (FClosed.load()) return false;
  FBitmap = ABitmap;
  FFrameNumber = AFrameNumber;
  FPTS = APTS;
  MyUtils::MySynchronize(Platform::TThreadMethod::Bind<&TPreviewer::DoShow>(this));
  return !FClosed.load();
}

void TPreviewer::DoShow() {
  if (FClosed.load()) return;
  if (!FForm) {
    const TPreviewWindowFactory factory = GFactory.load();
    if (factory) FForm = factory(this);
    if (!FForm) {
      // Nothing can show the frame (a headless host): the preview ends as if closed.
      FClosed.store(true);
      return;
    }
  }
  if (FBitmap) FForm->ShowFrame(*FBitmap, FFUtils::DurationToStr(FPTS));
}

}  // namespace Previewer
