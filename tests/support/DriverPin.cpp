#include "DriverPin.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dlfcn.h>
#include <link.h>

namespace DriverPin {

namespace {

int Pin(dl_phdr_info* AInfo, size_t, void*) {
  // The program itself has no name; the kernel's vDSO cannot be opened by name.
  if (AInfo->dlpi_name && *AInfo->dlpi_name)
    if (void* h = dlopen(AInfo->dlpi_name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(h);
  return 0;
}

template <class T>
T Entry(void* AModule, const char* AName) {
  return reinterpret_cast<T>(dlsym(AModule, AName));
}

}  // namespace

void PinGraphicsDriver() {
  void* egl = dlopen("libEGL.so.1", RTLD_NOW | RTLD_LOCAL);
  if (!egl) return;
  const auto get_proc = Entry<PFNEGLGETPROCADDRESSPROC>(egl, "eglGetProcAddress");
  const auto initialize = Entry<PFNEGLINITIALIZEPROC>(egl, "eglInitialize");
  const auto terminate = Entry<PFNEGLTERMINATEPROC>(egl, "eglTerminate");
  const auto release_thread = Entry<PFNEGLRELEASETHREADPROC>(egl, "eglReleaseThread");
  const auto get_display = get_proc ? reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
                                          get_proc("eglGetPlatformDisplayEXT"))
                                    : nullptr;
  if (!initialize || !terminate || !release_thread || !get_display) {
    dlclose(egl);
    return;
  }
  EGLDisplay display = get_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
  if (display != EGL_NO_DISPLAY && initialize(display, nullptr, nullptr)) {
    dl_iterate_phdr(Pin, nullptr);
    terminate(display);
  }
  release_thread();
  dlclose(egl);  // pinned when the start-up went through
}

}  // namespace DriverPin
