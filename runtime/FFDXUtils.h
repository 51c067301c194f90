// The capture devices of the machine, by name, in the form FFmpeg's capture inputs are
// given: "video=<name>" and "audio=<name>". Video capture devices are the Video4Linux
// capture nodes (their names from /sys/class/video4linux); audio capture devices are the
// ALSA cards' capture PCMs.
#pragma once
#include "platform/Strings.h"

namespace FFDXUtils {

enum TDeviceType { dtVideo, dtAudio };

// Appends one line per capture device of the type: its friendly name ("HD Webcam",
// "HDA Intel PCH: ALC255 Analog"), or with AMonikerNames its unique device name
// ("/dev/video0", "hw:CARD=PCH,DEV=0") with every ":" turned into "_"; with AWithPrefix
// preceded by "video=" or "audio=". False when the machine has no device of the type
// (nothing is added then); a device whose name cannot be read is left out.
bool EnumDirectShowInputDevices(Platform::TStringList& AList, TDeviceType ADeviceType,
                                bool AWithPrefix, bool AMonikerNames);
// The video devices, then the audio devices, each with its prefix: True when either
// type has devices.
bool EnumDirectShowInputDevices(Platform::TStringList& AList, bool AMonikerNames);

}  // namespace FFDXUtils
