#include "app/AppPorts.h"

#include "common/Text.h"
#include "platform/PortTable.h"
#include "platform/PosixTtyDevice.h"
#include "platform/Settings.h"
#include "sim/BoardState.h"
#include "sim/SimPortDevice.h"

namespace tessaro::app {
namespace {

PortTable LoadPortTable() {
  SettingsFile settings(UserSettingsPath());
  settings.Load();
  return PortTable(settings);
}

// The options after "sim:".
std::vector<std::string> SimArgumentsOf(const std::string& path) {
  return sim::SplitSimOptionList(path.size() > 4 ? std::string_view(path).substr(4) : std::string_view());
}

}  // namespace

bool IsSimEntry(const std::string& path) { return StartsWithNoCase(path, "sim:"); }

AppPorts::~AppPorts() { (void)EndBoards(); }

std::shared_ptr<sim::SimBoard> AppPorts::SimBoardOf(uint32_t number, std::string* error) {
  const std::lock_guard lock(mutex_);
  if (auto it = boards_.find(number); it != boards_.end()) return it->second;
  const auto path = LoadPortTable().PathOf(number);
  if (!path || !IsSimEntry(*path)) return nullptr;
  sim::SimOptions options;
  std::string message;
  if (!sim::ParseSimOptions(SimArgumentsOf(*path), options, message)) {
    if (error) *error = message;
    return nullptr;
  }
  auto board = sim::SimBoard::Create(options, &message);
  if (!board) {
    if (error) *error = message;
    return nullptr;
  }
  boards_[number] = board;
  return board;
}

PortOpener AppPorts::Opener() {
  return [this](uint32_t number) -> std::unique_ptr<PortDevice> {
    const auto path = LoadPortTable().PathOf(number);
    if (!path) return nullptr;
    if (!IsSimEntry(*path)) return OpenSerialDevice(*path);
    auto board = SimBoardOf(number);
    if (!board) return nullptr;
    return sim::SimPortOpener(board)(number);
  };
}

PortSources AppPorts::Sources() {
  PortSources sources = SystemPortSources();
  auto devices = sources.friendlyNames;
  sources.friendlyNames = [devices]() -> std::optional<std::vector<std::string>> {
    auto names = devices();
    std::vector<std::string> all = names ? *names : std::vector<std::string>{};
    const PortTable table = LoadPortTable();
    for (const auto& [number, path] : table.Entries()) {
      if (IsSimEntry(path)) all.push_back("Simulated board " + path.substr(4) + " (COM" + std::to_string(number) + ")");
    }
    if (!names && all.empty()) return std::nullopt;
    return all;
  };
  return sources;
}

std::vector<std::string> AppPorts::EndBoards() {
  const std::lock_guard lock(mutex_);
  std::vector<std::string> messages;
  for (auto& [number, board] : boards_) {
    for (std::string& message : sim::EndBoard(*board)) messages.push_back(std::move(message));
  }
  boards_.clear();
  return messages;
}

}  // namespace tessaro::app
