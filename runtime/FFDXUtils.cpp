#include "runtime/FFDXUtils.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

namespace FFDXUtils {

namespace {

constexpr const char* CVideoClass = "/sys/class/video4linux";

struct TDevice {
  std::string FriendlyName;  // empty when it cannot be read
  std::string UniqueName;
};

// "video<N>" -> N, else -1.
long VideoNodeNumber(const std::string& AEntry) {
  if (AEntry.rfind("video", 0) != 0 || AEntry.size() == 5) return -1;
  char* end = nullptr;
  const long n = std::strtol(AEntry.c_str() + 5, &end, 10);
  return *end ? -1 : n;
}

// False only when the node answers and has no capture capability (a metadata or output
// node); a node that cannot be opened is kept.
bool MayCapture(const std::string& ANode) {
  const int fd = ::open(ANode.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return true;
  v4l2_capability cap{};
  int ret;
  do ret = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
  while (ret < 0 && errno == EINTR);
  ::close(fd);
  if (ret < 0) return true;
  const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  return (caps & (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_VIDEO_CAPTURE_MPLANE)) != 0;
}

// False when the machine has no Video4Linux video node.
bool VideoDevices(std::vector<TDevice>& ADevices) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::pair<long, std::string>> nodes;
  for (fs::directory_iterator it(CVideoClass, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    const long n = VideoNodeNumber(entry);
    if (n >= 0) nodes.emplace_back(n, entry);
  }
  if (nodes.empty()) return false;
  std::sort(nodes.begin(), nodes.end());
  for (const auto& node : nodes) {
    const std::string path = "/dev/" + node.second;
    if (!MayCapture(path)) continue;
    TDevice device;
    device.UniqueName = path;
    std::ifstream in(std::string(CVideoClass) + "/" + node.second + "/name");
    if (in) std::getline(in, device.FriendlyName);
    while (!device.FriendlyName.empty() &&
           (device.FriendlyName.back() == ' ' || device.FriendlyName.back() == '\r'))
      device.FriendlyName.pop_back();
    ADevices.push_back(device);
  }
  return true;
}

// False when no ALSA card has a capture device.
bool AudioDevices(std::vector<TDevice>& ADevices) {
  bool found = false;
  snd_ctl_card_info_t* card_info = nullptr;
  snd_pcm_info_t* pcm_info = nullptr;
  if (snd_ctl_card_info_malloc(&card_info) < 0) return false;
  if (snd_pcm_info_malloc(&pcm_info) < 0) {
    snd_ctl_card_info_free(card_info);
    return false;
  }
  int card = -1;
  while (snd_card_next(&card) >= 0 && card >= 0) {
    snd_ctl_t* ctl = nullptr;
    const std::string hw = "hw:" + std::to_string(card);
    if (snd_ctl_open(&ctl, hw.c_str(), 0) < 0) continue;
    std::string card_id, card_name;
    if (snd_ctl_card_info(ctl, card_info) >= 0) {
      card_id = snd_ctl_card_info_get_id(card_info);
      card_name = snd_ctl_card_info_get_name(card_info);
    }
    int dev = -1;
    while (snd_ctl_pcm_next_device(ctl, &dev) >= 0 && dev >= 0) {
      snd_pcm_info_set_device(pcm_info, static_cast<unsigned>(dev));
      snd_pcm_info_set_subdevice(pcm_info, 0);
      snd_pcm_info_set_stream(pcm_info, SND_PCM_STREAM_CAPTURE);
      if (snd_ctl_pcm_info(ctl, pcm_info) < 0) continue;  // no capture on this device
      found = true;
      TDevice device;
      const char* pcm_name = snd_pcm_info_get_name(pcm_info);
      if (!card_name.empty() && pcm_name && *pcm_name)
        device.FriendlyName = card_name + ": " + pcm_name;
      if (!card_id.empty())
        device.UniqueName = "hw:CARD=" + card_id + ",DEV=" + std::to_string(dev);
      ADevices.push_back(device);
    }
    snd_ctl_close(ctl);
  }
  snd_pcm_info_free(pcm_info);
  snd_ctl_card_info_free(card_info);
  return found;
}

}  // namespace

bool EnumDirectShowInputDevices(Platform::TStringList& AList, TDeviceType ADeviceType,
                                bool AWithPrefix, bool AMonikerNames) {
  std::vector<TDevice> devices;
  const bool found = ADeviceType == dtVideo ? VideoDevices(devices) : AudioDevices(devices);
  if (!found) return false;
  const std::string prefix = ADeviceType == dtVideo ? "video" : "audio";
  for (const TDevice& device : devices) {
    std::string name = AMonikerNames ? device.UniqueName : device.FriendlyName;
    if (name.empty()) continue;
    if (AMonikerNames) std::replace(name.begin(), name.end(), ':', '_');
    AList.Add(AWithPrefix ? prefix + "=" + name : name);
  }
  return true;
}

bool EnumDirectShowInputDevices(Platform::TStringList& AList, bool AMonikerNames) {
  const bool video = EnumDirectShowInputDevices(AList, dtVideo, true, AMonikerNames);
  const bool audio = EnumDirectShowInputDevices(AList, dtAudio, true, AMonikerNames);
  return video || audio;
}

}  // namespace FFDXUtils
