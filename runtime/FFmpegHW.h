// The named hardware devices (FFmpeg hardware device contexts) that decoders, encoders
// and filters use: created from a textual specification ("type[=name][:device[,key=
// value...]]", "type[=name]@source", "type[=name],key=value...") or by type, looked up
// by name or type, and handed to filters.
//
// The registry is one list for the whole process, shared by all conversion tasks and
// guarded by a lock. Every routine takes the task on whose behalf it runs (AOwner):
// the task holds each device that it creates or that a lookup returns to it, until
// its clean-up calls hw_device_free_all(task). A device is freed when its last holder
// let it go, so one task's clean-up never frees a device that another task still
// uses, and a returned device stays valid for its holder. A nullptr owner is a holder
// of its own (released by hw_device_free_all(nullptr)).
#pragma once
#include "runtime/AVUtilStubs.h"
#include "runtime/FFmpegHeader.h"

namespace FFmpegHW {

using FFmpegHeader::PHWDevice;
using FFmpegHeader::PPHWDevice;
using FFmpegHeader::TBaseFFmpeg;
using FFmpegHeader::THWDevice;

// The device of type AType when exactly one is registered; nullptr when none or
// several are.
PHWDevice hw_device_get_by_type(TBaseFFmpeg* AOwner, AVHWDeviceType AType);
// The first device named AName (exact comparison), or nullptr.
PHWDevice hw_device_get_by_name(TBaseFFmpeg* AOwner, const char* AName);

// Creates and registers a device from the device string AArg; stores it in ADev when
// given. 0; AVERROR(EINVAL) for a faulty specification (logged as "Invalid device
// specification"); the creation's error or AVERROR(ENOMEM) (logged as "Device
// creation failed").
int hw_device_init_from_string(TBaseFFmpeg* AOwner, const char* AArg, PPHWDevice ADev);
// Creates and registers a device of AType with a default name from the device string
// ADevice (may be nullptr); stores it in ADev when given. 0 or a negative error.
int hw_device_init_from_type(TBaseFFmpeg* AOwner, AVHWDeviceType AType, const char* ADevice,
                             PPHWDevice ADev);

// Lets go of every device that AOwner holds; each device that no one holds any more is
// unregistered and freed (its name, its context and the record).
void hw_device_free_all(TBaseFFmpeg* AOwner);

// The context for filters: ADev's when given; else nullptr with no device registered,
// the only device's, or with several the last registered one (with a warning).
AVBufferRef* hw_device_for_filter(TBaseFFmpeg* AOwner, PHWDevice ADev);

}  // namespace FFmpegHW
