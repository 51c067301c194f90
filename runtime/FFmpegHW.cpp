#include "runtime/FFmpegHW.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/Format.h"

namespace FFmpegHW {

namespace {

using AVUtilStubs::av_buffer_ref;
using AVUtilStubs::av_buffer_unref;
using AVUtilStubs::av_dict_free;
using AVUtilStubs::av_dict_parse_string;
using AVUtilStubs::av_free;
using AVUtilStubs::av_freep;
using AVUtilStubs::av_hwdevice_ctx_create;
using AVUtilStubs::av_hwdevice_ctx_create_derived;
using AVUtilStubs::av_hwdevice_find_type_by_name;
using AVUtilStubs::av_hwdevice_get_type_name;
using AVUtilStubs::av_log;
using AVUtilStubs::av_mallocz;
using AVUtilStubs::av_strdup;

// A registered device and the tasks that hold it.
struct TEntry {
  PHWDevice Device;
  std::vector<const TBaseFFmpeg*> Holders;
};

// The registry in registration order. Nothing that may log or wait runs while the
// lock is held: FFmpeg's log callback may hand its line to the host's thread.
std::mutex& RegistryLock() {
  static std::mutex lock;
  return lock;
}
std::vector<TEntry>& Registry() {
  static std::vector<TEntry> registry;
  return registry;
}

// ---- with the lock held ----

TEntry* FindByName(const char* AName) {
  for (TEntry& e : Registry())
    if (std::strcmp(e.Device->name, AName) == 0) return &e;
  return nullptr;
}

// Adds AOwner to the holders of AEntry; False when memory runs out.
bool Hold(TEntry& AEntry, const TBaseFFmpeg* AOwner) {
  if (std::find(AEntry.Holders.begin(), AEntry.Holders.end(), AOwner) != AEntry.Holders.end())
    return true;
  try {
    AEntry.Holders.push_back(AOwner);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// The type's name followed by the first number 0..999 that no device has in its name.
bool DefaultName(AVHWDeviceType AType, std::string& AName) {
  const char* type_name = av_hwdevice_get_type_name(AType);
  if (!type_name) return false;
  for (int index = 0; index < 1000; ++index) {
    std::string candidate = Platform::Format("%s%d", type_name, index);
    if (!FindByName(candidate.c_str())) {
      AName = std::move(candidate);
      return true;
    }
  }
  return false;
}

// Registers a new device held by AOwner; it takes ARef. nullptr when memory runs out
// (the registry and ARef are left as they were).
PHWDevice Add(const std::string& AName, AVHWDeviceType AType, AVBufferRef* ARef,
              const TBaseFFmpeg* AOwner) {
  auto* dev = static_cast<PHWDevice>(av_mallocz(sizeof(THWDevice)));
  if (!dev) return nullptr;
  dev->name = av_strdup(AName.c_str());
  if (!dev->name) {
    av_free(dev);
    return nullptr;
  }
  try {
    // growing keeps the old array when it fails
    Registry().push_back(TEntry{dev, {AOwner}});
  } catch (const std::bad_alloc&) {
    av_free(dev->name);
    av_free(dev);
    return nullptr;
  }
  dev->type_ = AType;
  dev->device_ref = ARef;
  return dev;
}

// ---- without the lock ----

void FreeDevice(PHWDevice ADev) {
  av_freep(&ADev->name);
  av_buffer_unref(&ADev->device_ref);
  av_free(ADev);
}

int InvalidSpecification(const char* AArg, const char* AErrMsg) {
  av_log(nullptr, AV_LOG_ERROR, "Invalid device specification \"%s\": %s\n", AArg, AErrMsg);
  return AVERROR(EINVAL);
}

int CreationFailed(int AErr) {
  av_log(nullptr, AV_LOG_ERROR, "Device creation failed: %d.\n", AErr);
  return AErr;
}

// Registers the created context ARef under AName (or a default name when ANamed is
// False) for AOwner; frees ARef on failure. A name that another thread registered
// meanwhile gives 1.
int Register(TBaseFFmpeg* AOwner, bool ANamed, std::string AName, AVHWDeviceType AType,
             AVBufferRef* ARef, PPHWDevice ADev) {
  PHWDevice dev = nullptr;
  bool taken = false;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    if (ANamed)
      taken = FindByName(AName.c_str()) != nullptr;
    else if (FindByName(AName.c_str()) && !DefaultName(AType, AName))
      AName.clear();
    if (!taken && (ANamed || !AName.empty())) dev = Add(AName, AType, ARef, AOwner);
  }
  if (!dev) {
    av_buffer_unref(&ARef);
    return taken ? 1 : AVERROR(ENOMEM);
  }
  if (ADev) *ADev = dev;
  return 0;
}

}  // namespace

PHWDevice hw_device_get_by_type(TBaseFFmpeg* AOwner, AVHWDeviceType AType) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  TEntry* found = nullptr;
  for (TEntry& e : Registry()) {
    if (e.Device->type_ != AType) continue;
    if (found) return nullptr;
    found = &e;
  }
  if (!found || !Hold(*found, AOwner)) return nullptr;
  return found->Device;
}

PHWDevice hw_device_get_by_name(TBaseFFmpeg* AOwner, const char* AName) {
  std::lock_guard<std::mutex> guard(RegistryLock());
  TEntry* found = FindByName(AName);
  if (!found || !Hold(*found, AOwner)) return nullptr;
  return found->Device;
}

int hw_device_init_from_string(TBaseFFmpeg* AOwner, const char* AArg, PPHWDevice ADev) {
  // "type[=name][:device[,key=value...]]", "type[=name]@source", "type[=name],key=value..."
  AVDictionary* options = nullptr;
  struct TOptionsGuard {
    AVDictionary*& Dict;
    ~TOptionsGuard() { av_dict_free(&Dict); }
  } options_guard{options};

  const std::size_t type_len = std::strcspn(AArg, ":=@,");
  const std::string type_name(AArg, type_len);
  const AVHWDeviceType type = av_hwdevice_find_type_by_name(type_name.c_str());
  if (type == AV_HWDEVICE_TYPE_NONE) return InvalidSpecification(AArg, "unknown device type");
  const char* p = AArg + type_len;

  std::string name;
  const bool named = *p == '=';
  if (named) {
    const std::size_t name_len = std::strcspn(p + 1, ":@");
    name.assign(p + 1, name_len);
    bool exists;
    {
      std::lock_guard<std::mutex> guard(RegistryLock());
      exists = FindByName(name.c_str()) != nullptr;
    }
    if (exists) return InvalidSpecification(AArg, "named device already exists");
    p += 1 + name_len;
  } else {
    bool have_name;
    {
      std::lock_guard<std::mutex> guard(RegistryLock());
      have_name = DefaultName(type, name);
    }
    if (!have_name) return CreationFailed(AVERROR(ENOMEM));
  }

  AVBufferRef* device_ref = nullptr;
  int err;
  if (*p == '\0') {
    err = av_hwdevice_ctx_create(&device_ref, type, nullptr, nullptr, 0);
  } else if (*p == ':') {
    // device string, optionally followed by options
    ++p;
    const char* q = std::strchr(p, ',');
    const std::string device = q ? std::string(p, q - p) : std::string(p);
    if (q && av_dict_parse_string(&options, q + 1, "=", ",", 0) < 0)
      return InvalidSpecification(AArg, "failed to parse options");
    err = av_hwdevice_ctx_create(&device_ref, type, device.empty() ? nullptr : device.c_str(),
                                 options, 0);
  } else if (*p == '@') {
    // derived from a registered device, whose context is kept alive meanwhile
    AVBufferRef* source = nullptr;
    bool found;
    {
      std::lock_guard<std::mutex> guard(RegistryLock());
      TEntry* e = FindByName(p + 1);
      found = e != nullptr;
      if (found) source = av_buffer_ref(e->Device->device_ref);
    }
    if (!found) return InvalidSpecification(AArg, "invalid source device name");
    if (!source) return CreationFailed(AVERROR(ENOMEM));
    err = av_hwdevice_ctx_create_derived(&device_ref, type, source, 0);
    av_buffer_unref(&source);
  } else if (*p == ',') {
    // options only
    if (av_dict_parse_string(&options, p + 1, "=", ",", 0) < 0)
      return InvalidSpecification(AArg, "failed to parse options");
    err = av_hwdevice_ctx_create(&device_ref, type, nullptr, options, 0);
  } else {
    return InvalidSpecification(AArg, "parse error");
  }
  if (err < 0) return CreationFailed(err);

  err = Register(AOwner, named, std::move(name), type, device_ref, ADev);
  if (err == 1) return InvalidSpecification(AArg, "named device already exists");
  if (err < 0) return CreationFailed(err);
  return 0;
}

int hw_device_init_from_type(TBaseFFmpeg* AOwner, AVHWDeviceType AType, const char* ADevice,
                             PPHWDevice ADev) {
  std::string name;
  bool have_name;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    have_name = DefaultName(AType, name);
  }
  if (!have_name) return CreationFailed(AVERROR(ENOMEM));

  AVBufferRef* device_ref = nullptr;
  int err = av_hwdevice_ctx_create(&device_ref, AType, ADevice, nullptr, 0);
  if (err < 0) return CreationFailed(err);

  err = Register(AOwner, false, std::move(name), AType, device_ref, ADev);
  if (err < 0) return CreationFailed(err);
  return 0;
}

void hw_device_free_all(TBaseFFmpeg* AOwner) {
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    for (TEntry& e : Registry()) std::erase(e.Holders, AOwner);
  }
  // the devices that no one holds any more, one at a time, each freed outside the lock
  for (;;) {
    PHWDevice unheld = nullptr;
    {
      std::lock_guard<std::mutex> guard(RegistryLock());
      std::vector<TEntry>& registry = Registry();
      auto it = std::find_if(registry.begin(), registry.end(),
                             [](const TEntry& e) { return e.Holders.empty(); });
      if (it != registry.end()) {
        unheld = it->Device;
        registry.erase(it);
      }
      if (registry.empty()) std::vector<TEntry>().swap(registry);
    }
    if (!unheld) break;
    FreeDevice(unheld);
  }
}

AVBufferRef* hw_device_for_filter(TBaseFFmpeg* AOwner, PHWDevice ADev) {
  if (ADev) return ADev->device_ref;
  PHWDevice dev = nullptr;
  std::size_t count;
  {
    std::lock_guard<std::mutex> guard(RegistryLock());
    std::vector<TEntry>& registry = Registry();
    count = registry.size();
    if (count == 0 || !Hold(registry.back(), AOwner)) return nullptr;
    dev = registry.back().Device;
  }
  if (count > 1) {
    // dev stays registered while AOwner holds it
    const char* type_name = av_hwdevice_get_type_name(dev->type_);
    av_log(nullptr, AV_LOG_WARNING,
           "There are %d hardware devices. device %s of type %s is picked for filters by "
           "default. Set hardware device explicitly with the filter_hw_device option if "
           "device %s is not usable for filters.\n",
           static_cast<int>(count), dev->name, type_name, dev->name);
  }
  return dev->device_ref;
}

}  // namespace FFmpegHW
