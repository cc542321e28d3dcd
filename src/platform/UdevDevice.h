// The serial device a libudev device of subsystem "tty" stands for, as the port list and the
// port watch both read it. Only built with libudev.
#pragma once

#include <optional>

#include "platform/PortTable.h"

struct udev_device;

namespace tessaro {

// Nullopt for a tty that is no serial port (a virtual terminal, an 8250 placeholder). A
// device that has gone (`present` false) is taken by its node and properties alone.
std::optional<SerialDevice> UdevSerialDevice(udev_device* device, bool present);

}  // namespace tessaro
