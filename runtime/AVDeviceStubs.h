// Entry points of libavdevice, bound at run time by their C names.
#pragma once
#include <string>

extern "C" {
#include <libavdevice/avdevice.h>
}

#include "runtime/MyUtils.h"

// Every entry point this system calls in the library, in one list.
#define AVDEVICE_ENTRY_POINTS(X) \
  X(avdevice_version) \
  X(avdevice_configuration) \
  X(avdevice_license) \
  X(avdevice_register_all) \
  X(avdevice_list_input_sources) \
  X(avdevice_list_output_sinks) \
  X(avdevice_free_list_devices) \
  X(av_input_audio_device_next) \
  X(av_input_video_device_next) \
  X(av_output_audio_device_next) \
  X(av_output_video_device_next)

namespace AVDeviceStubs {

AVDEVICE_ENTRY_POINTS(OSTREVAN_STUB_DECLARE)

// Binds every entry point of the list from AHandle; ALibName serves the error text.
void AVDeviceFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
// Sets every entry point of the list back to nullptr.
void AVDeviceUnfixStubs();

}  // namespace AVDeviceStubs
