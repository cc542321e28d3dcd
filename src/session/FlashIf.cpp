#include "session/FlashIf.h"

#include <chrono>
#include <thread>

#include "chips/BoardConfig.h"
#include "common/Text.h"
#include "link/LinkResult.h"
#include "link/SerialPort.h"

namespace tessaro {

FlashIf::FlashIf(FlashHost& hostWindow)
    : FlashDriverIf(&hostWindow.Link(), &hostWindow.Configuration(), hostWindow.ProgressBar()), host(hostWindow) {
  window.Select(host.StartAddress());
}

void FlashIf::ShowStatus(const std::string& text) { host.ShowStatusLine(text, StatusColourClass(statusCode)); }

void FlashIf::ShowPosition(const std::string& text) { host.ShowPositionText(text); }

PromptAnswer FlashIf::ShowMessage(const std::string& text, const char* caption, PromptButtons buttons) {
  return host.Ask(text, caption, buttons);
}

bool FlashIf::CheckCancel() {
  if (!host.CancelRequested()) return false;
  cancelled = true;
  statusCode = StatusAborted;
  ReportStatus();
  return true;
}

bool FlashIf::EnsureLinked() {
  SerialPort& port = host.Link();
  if (port.linked()) {
    (void)port.ReadRegister(85);  // liveness probe: a failed read clears `linked`
    if (port.linked()) return true;
  }
  host.StopConnectionPoll();
  BoardConfig& config = host.Configuration();
  if (config.chip && config.chip->familyCode >= FAMILY_74XX) config.mode = MEM_INTRAM;
  LinkResult result = port.Connect(host.LinkCallback(), host.PortNumber(), host.DoubleBaud(), config);
  if (result == LINK_OK) {
    host.StartConnectionPoll();
    return true;
  }
  if (result == LINK_CANT_OPEN_PORT) return false;
  const bool securable = config.chip && config.chip->hasSecurityBit;
  if (result == LINK_NO_ACK && securable) {
    // A glitch on the wire fails one attempt the way a set security bit does; a chip erase is
    // offered only when a second attempt fails the same way.
    result = port.Connect(host.LinkCallback(), host.PortNumber(), host.DoubleBaud(), config);
    if (result == LINK_OK) {
      host.StartConnectionPoll();
      return true;
    }
  }
  if (result == LINK_NO_ACK && securable) {
    if (host.Ask(kEraseSecuredQuestion, nullptr, PromptButtons::YesNo) != PromptAnswer::Yes) {
      return false;
    }
    if (!EraseSecuredChip(port, host)) {
      (void)host.Ask("Could not erase, please check connection", nullptr, PromptButtons::Ok);
      return false;
    }
    chipErased = true;
    result = port.Connect(host.LinkCallback(), host.PortNumber(), host.DoubleBaud(), config);
    return result == LINK_OK;
  }
  (void)host.Ask(LinkErrorText(result), nullptr, PromptButtons::Ok);
  return false;
}

bool EraseSecuredChip(SerialPort& link, FlashHost& host) {
  link.SetLinked(true);
  (void)link.SendByte(0x72);
  (void)link.SendByte(0x35);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
  while (link.ReceivedCount() < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (link.ReceivedCount() == 0) {
    link.SetLinked(false);
    (void)host.Ask("Chip erase, Timeout", nullptr, PromptButtons::Ok);
    return false;
  }
  uint8_t answer = 0;
  (void)link.ReceiveByte(answer);
  link.SetLinked(false);
  if (answer == 0xEE) return true;
  (void)host.Ask("Chip erase, expected 0xee, received " + HexFixed(answer, 2), nullptr, PromptButtons::Ok);
  return false;
}

}  // namespace tessaro
