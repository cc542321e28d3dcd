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

std::optional<std::string> AppPorts::PathOf(uint32_t number) const { return LoadPortTable().PathOf(number); }

bool AppPorts::StartWatch(std::unique_ptr<PortWatchSource> source, std::string& error) {
  if (!source || !source->Start(error)) return false;
  watchSource_ = std::move(source);
  watched_.Reset(watchSource_->Present());
  notifier_ = std::make_unique<QSocketNotifier>(watchSource_->EventFd(), QSocketNotifier::Read);
  QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { OnPortEvents(); });
  return true;
}

int AppPorts::Subscribe(PortListener listener) {
  listeners_[nextListener_] = std::move(listener);
  return nextListener_++;
}

void AppPorts::Unsubscribe(int id) { listeners_.erase(id); }

void AppPorts::OnPortEvents() {
  const std::vector<PortEvent> changes = watched_.Apply(watchSource_->TakeEvents());
  if (changes.empty()) return;
  // A listener may open a message box, whose event loop must not deliver the next events
  // into the middle of this round; they wait for the notifier to be enabled again.
  notifier_->setEnabled(false);
  const auto listeners = listeners_;  // a listener may unsubscribe while it is called
  for (const auto& [id, listener] : listeners) {
    if (listeners_.count(id) != 0) listener(changes);
  }
  notifier_->setEnabled(true);
}

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
  // While a watch runs, the ports it knows are the list (a simulated board is listed from the
  // table below, whatever a watch says of it).
  std::vector<SerialDevice> watched;
  for (const SerialDevice& device : watched_.Devices())
    if (!IsSimEntry(device.path)) watched.push_back(device);
  PortSources sources = Watching() ? PortSourcesOf([watched] { return watched; }) : SystemPortSources();
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
