// Port numbers stay the model on Linux: COMn maps to a device path, kept in the user settings
// group "Ports" (e.g. COM5=/dev/ttyUSB0). A serial device found without a number gets the
// lowest free one, which is then kept, so a number stays with its device.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Settings.h"

namespace tessaro {

inline constexpr const char* kPortsGroup = "Ports";

class PortTable {
 public:
  PortTable() = default;
  // Reads the "Ports" group of the settings.
  explicit PortTable(const SettingsFile& settings);

  std::optional<std::string> PathOf(uint32_t number) const;
  std::optional<uint32_t> NumberOf(const std::string& path) const;
  // The number of `path`; a path without one gets the lowest free number (from 1).
  uint32_t Assign(const std::string& path);
  void Set(uint32_t number, const std::string& path);
  const std::map<uint32_t, std::string>& Entries() const { return entries_; }
  // Writes the table back into the "Ports" group (replacing what was there).
  void Store(SettingsFile& settings) const;
  bool changed() const { return changed_; }

 private:
  std::map<uint32_t, std::string> entries_;
  bool changed_ = false;
};

// A serial device present on this machine.
struct SerialDevice {
  std::string path;          // /dev/ttyUSB0
  std::string friendlyName;  // as other tools show it ("FT232R USB UART"); may be empty
  bool usb = false;          // on USB: a debug interface's virtual COM port or a USB serial adapter
  bool operator==(const SerialDevice&) const = default;
};

// Present serial devices: through libudev where built with it, else the serial device nodes
// under /dev. Sorted by path.
std::vector<SerialDevice> FindSerialDevices();

// "COMn" -> n; 0 when the text is not of that form (any case, n >= 1).
uint32_t ParseComName(const std::string& text);

}  // namespace tessaro
