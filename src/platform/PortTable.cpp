#include "platform/PortTable.h"

#include <dirent.h>
#include <algorithm>

#include "common/Text.h"

#ifdef TESSARO_HAVE_UDEV
#include <libudev.h>
#include "platform/UdevDevice.h"
#endif

namespace tessaro {

uint32_t ParseComName(const std::string& text) {
  if (text.size() < 4 || !StartsWithNoCase(text, "COM")) return 0;
  uint64_t value = 0;
  for (size_t i = 3; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > 0xFFFFFF) return 0;
  }
  return static_cast<uint32_t>(value);
}

PortTable::PortTable(const SettingsFile& settings) {
  if (const auto* group = settings.Group(kPortsGroup)) {
    for (const auto& [key, value] : *group) {
      uint32_t number = ParseComName(key);
      if (number != 0 && !value.empty()) entries_[number] = value;
    }
  }
}

std::optional<std::string> PortTable::PathOf(uint32_t number) const {
  auto it = entries_.find(number);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

std::optional<uint32_t> PortTable::NumberOf(const std::string& path) const {
  for (const auto& [number, entry] : entries_)
    if (entry == path) return number;
  return std::nullopt;
}

uint32_t PortTable::Assign(const std::string& path) {
  if (auto number = NumberOf(path)) return *number;
  uint32_t number = 1;
  while (entries_.count(number) != 0) ++number;
  entries_[number] = path;
  changed_ = true;
  return number;
}

void PortTable::Set(uint32_t number, const std::string& path) {
  entries_[number] = path;
  changed_ = true;
}

void PortTable::Store(SettingsFile& settings) const {
  if (const auto* group = settings.Group(kPortsGroup)) {
    std::vector<std::string> keys;
    for (const auto& entry : *group) keys.push_back(entry.first);
    for (const auto& key : keys) settings.Remove(kPortsGroup, key);
  }
  for (const auto& [number, path] : entries_) settings.Set(kPortsGroup, "COM" + std::to_string(number), path);
}

namespace {

std::vector<SerialDevice> FindDeviceNodes() {
  // Serial device nodes as the kernel names them; the 8250 platform ports beyond ttyS3 are
  // nearly always phantoms, so only the first four are listed.
  static const char* const kPrefixes[] = {"ttyUSB", "ttyACM", "ttyAMA", "rfcomm", "ttyS"};
  std::vector<SerialDevice> devices;
  DIR* dir = ::opendir("/dev");
  if (!dir) return devices;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    for (const char* prefix : kPrefixes) {
      std::string p = prefix;
      if (name.size() <= p.size() || name.compare(0, p.size(), p) != 0) continue;
      std::string digits = name.substr(p.size());
      if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
      if (p == "ttyS" && std::stoul(digits) > 3) continue;
      devices.push_back({"/dev/" + name, "", p == "ttyUSB" || p == "ttyACM"});
      break;
    }
  }
  ::closedir(dir);
  return devices;
}

#ifdef TESSARO_HAVE_UDEV
bool FindUdevDevices(std::vector<SerialDevice>& devices) {
  udev* context = udev_new();
  if (!context) return false;
  udev_enumerate* enumerate = udev_enumerate_new(context);
  if (!enumerate) {
    udev_unref(context);
    return false;
  }
  udev_enumerate_add_match_subsystem(enumerate, "tty");
  udev_enumerate_scan_devices(enumerate);
  for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumerate); entry;
       entry = udev_list_entry_get_next(entry)) {
    udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
    if (!device) continue;
    if (auto serial = UdevSerialDevice(device, true)) devices.push_back(std::move(*serial));
    udev_device_unref(device);
  }
  udev_enumerate_unref(enumerate);
  udev_unref(context);
  return true;
}
#endif

}  // namespace

#ifdef TESSARO_HAVE_UDEV
namespace {
std::string FromUdevText(const char* text) {
  std::string out = text ? text : "";
  std::replace(out.begin(), out.end(), '_', ' ');
  return out;
}
}  // namespace

std::optional<SerialDevice> UdevSerialDevice(udev_device* device, bool present) {
  const char* node = udev_device_get_devnode(device);
  if (!node) return std::nullopt;
  if (present) {
    // Virtual terminals have no parent; the 8250 platform ports are placeholders. A device
    // that has gone has no parent left to look at.
    udev_device* parent = udev_device_get_parent(device);
    const char* parentSubsystem = parent ? udev_device_get_subsystem(parent) : nullptr;
    if (!parent || (parentSubsystem && std::string(parentSubsystem) == "platform")) return std::nullopt;
  }
  const char* bus = udev_device_get_property_value(device, "ID_BUS");
  const bool usb = bus && std::string(bus) == "usb";
  std::string name = FromUdevText(udev_device_get_property_value(device, "ID_MODEL_FROM_DATABASE"));
  if (name.empty()) name = FromUdevText(udev_device_get_property_value(device, "ID_MODEL"));
  if (name.empty()) name = usb ? "USB Serial Port" : "Communications Port";
  return SerialDevice{node, name, usb};
}
#endif

std::vector<SerialDevice> FindSerialDevices() {
  std::vector<SerialDevice> devices;
#ifdef TESSARO_HAVE_UDEV
  if (!FindUdevDevices(devices)) devices = FindDeviceNodes();
#else
  devices = FindDeviceNodes();
#endif
  std::sort(devices.begin(), devices.end(),
            [](const SerialDevice& a, const SerialDevice& b) { return a.path < b.path; });
  return devices;
}

}  // namespace tessaro
