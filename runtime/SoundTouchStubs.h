// Entry points of the SoundTouch C interface (libSoundTouchDll), bound at run time.
#pragma once
#include <cstdint>
#include <string>

#include "runtime/MyUtils.h"

namespace SoundTouchStubs {

// The prototypes of the C interface, one named type per entry point.
using Tsoundtouch_createInstanceProc = void* (*)();
using Tsoundtouch_destroyInstanceProc = void (*)(void* h);
using Tsoundtouch_getVersionStringProc = const char* (*)();
using Tsoundtouch_getVersionString2Proc = void (*)(char* versionString, int bufferSize);
using Tsoundtouch_getVersionIdProc = unsigned int (*)();
using Tsoundtouch_setRateProc = void (*)(void* h, float newRate);
using Tsoundtouch_setTempoProc = void (*)(void* h, float newTempo);
using Tsoundtouch_setRateChangeProc = void (*)(void* h, float newRate);
using Tsoundtouch_setTempoChangeProc = void (*)(void* h, float newTempo);
using Tsoundtouch_setPitchProc = void (*)(void* h, float newPitch);
using Tsoundtouch_setPitchOctavesProc = void (*)(void* h, float newPitch);
using Tsoundtouch_setPitchSemiTonesProc = void (*)(void* h, float newPitch);
using Tsoundtouch_setChannelsProc = int (*)(void* h, unsigned int numChannels);
using Tsoundtouch_setSampleRateProc = int (*)(void* h, unsigned int srate);
using Tsoundtouch_flushProc = int (*)(void* h);
// The library is built for float samples: putSamples/receiveSamples take floats,
// the _i16 forms take signed 16-bit samples.
using Tsoundtouch_putSamplesProc = int (*)(void* h, const float* samples, unsigned int numSamples);
using Tsoundtouch_putSamples_i16Proc = void (*)(void* h, const std::int16_t* samples,
                                                unsigned int numSamples);
using Tsoundtouch_clearProc = void (*)(void* h);
using Tsoundtouch_setSettingProc = int (*)(void* h, int settingId, int value);
using Tsoundtouch_getSettingProc = int (*)(void* h, int settingId);
using Tsoundtouch_numUnprocessedSamplesProc = unsigned int (*)(void* h);
using Tsoundtouch_receiveSamplesProc = unsigned int (*)(void* h, float* outBuffer,
                                                        unsigned int maxSamples);
using Tsoundtouch_receiveSamples_i16Proc = unsigned int (*)(void* h, std::int16_t* outBuffer,
                                                            unsigned int maxSamples);
using Tsoundtouch_numSamplesProc = unsigned int (*)(void* h);
using Tsoundtouch_isEmptyProc = int (*)(void* h);

#define SOUNDTOUCH_ENTRY_POINTS(X) \
  X(soundtouch_createInstance) \
  X(soundtouch_destroyInstance) \
  X(soundtouch_getVersionString) \
  X(soundtouch_getVersionString2) \
  X(soundtouch_getVersionId) \
  X(soundtouch_setRate) \
  X(soundtouch_setTempo) \
  X(soundtouch_setRateChange) \
  X(soundtouch_setTempoChange) \
  X(soundtouch_setPitch) \
  X(soundtouch_setPitchOctaves) \
  X(soundtouch_setPitchSemiTones) \
  X(soundtouch_setChannels) \
  X(soundtouch_setSampleRate) \
  X(soundtouch_flush) \
  X(soundtouch_putSamples) \
  X(soundtouch_putSamples_i16) \
  X(soundtouch_clear) \
  X(soundtouch_setSetting) \
  X(soundtouch_getSetting) \
  X(soundtouch_numUnprocessedSamples) \
  X(soundtouch_receiveSamples) \
  X(soundtouch_receiveSamples_i16) \
  X(soundtouch_numSamples) \
  X(soundtouch_isEmpty)

SOUNDTOUCH_ENTRY_POINTS(OSTREVAN_PROC_DECLARE)

// The library's version id, read right after binding; 0 while SoundTouch is unbound.
extern unsigned int SoundTouchVersion;

void SoundTouchFixupStubs(const std::string& ALibName, Platform::HMODULE AHandle);
void SoundTouchUnfixStubs();

}  // namespace SoundTouchStubs
