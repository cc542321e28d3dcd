// The port watch: which events change the known ports, and the watch the CLI prints, driven by
// a fake event source (from the test's thread and from another one, as a hotplug would).
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "link/PortList.h"
#include "platform/PortWatch.h"

namespace tessaro {
namespace {

const SerialDevice kUart{"/dev/ttyS0", "Communications Port", false};
const SerialDevice kDebug{"/dev/ttyUSB0", "LYR USB Debug Interface", true};
const SerialDevice kAcm{"/dev/ttyACM1", "USB Serial Port", true};

}  // namespace

// Failures name the device, not its bytes.
void PrintTo(const SerialDevice& device, std::ostream* out) { *out << device.path << (device.usb ? " (USB)" : ""); }
void PrintTo(const PortEvent& event, std::ostream* out) {
  *out << (event.kind == PortEvent::Kind::Added ? "+" : "-");
  PrintTo(event.device, out);
}

namespace {

PortEvent Added(const SerialDevice& device) { return {PortEvent::Kind::Added, device}; }
PortEvent Removed(const SerialDevice& device) { return {PortEvent::Kind::Removed, device}; }

TEST(PortSet, KeepsEveryPortOnceAndDropsEventsThatChangeNothing) {
  // A removal names what the add said, even when the event itself carries less.
  const SerialDevice bareDebug{kDebug.path, "", false};
  struct Case {
    const char* name;
    std::vector<SerialDevice> present;
    std::vector<PortEvent> events;
    std::vector<PortEvent> changes;
    std::vector<SerialDevice> after;
  } cases[] = {
      {"new port", {kUart}, {Added(kDebug)}, {Added(kDebug)}, {kUart, kDebug}},
      {"repeated add", {kUart}, {Added(kDebug), Added(kDebug)}, {Added(kDebug)}, {kUart, kDebug}},
      {"add of a present port", {kDebug}, {Added(kDebug)}, {}, {kDebug}},
      {"removal of an unknown tty", {kUart}, {Removed(kAcm)}, {}, {kUart}},
      {"removal with less said", {kDebug, kUart}, {Removed(bareDebug)}, {Removed(kDebug)}, {kUart}},
      {"out and in again",
       {kDebug},
       {Removed(kDebug), Added(kDebug), Removed(kDebug)},
       {Removed(kDebug), Added(kDebug), Removed(kDebug)},
       {}},
      {"sorted by path",
       {},
       {Added(kUart), Added(kAcm), Added(kDebug)},
       {Added(kUart), Added(kAcm), Added(kDebug)},
       {kAcm, kUart, kDebug}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortSet set;
    set.Reset(c.present);
    EXPECT_EQ(set.Apply(c.events), c.changes);
    EXPECT_EQ(set.Devices(), c.after);
  }
}

// What a watch printed, with the COM numbers of a fixed table.
class WatchRecorder {
 public:
  PortWatchOutput Output(bool json) {
    return {json, [this](const std::string& path) { return numbers_.at(path); },
            [this](const std::string& lines) {
              const std::lock_guard lock(mutex_);
              text_ += lines;
              changed_.notify_all();
            }};
  }
  // Waits (at most 10 s) until the output holds `needle`.
  bool WaitFor(const std::string& needle) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return text_.find(needle) != std::string::npos; });
  }
  std::string Text() {
    const std::lock_guard lock(mutex_);
    return text_;
  }

 private:
  std::map<std::string, uint32_t> numbers_{{kUart.path, 1}, {kDebug.path, 5}, {kAcm.path, 7}};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;
};

TEST(PortWatch, PrintsThePresentPortsThenEachChangeAsTextOrJsonLines) {
  const std::string text =
      "  /dev/ttyS0 (COM1: Communications Port)\n"
      "+ /dev/ttyUSB0 (COM5: LYR USB Debug Interface, USB)\n"
      "+ /dev/ttyACM1 (COM7: USB Serial Port, USB)\n"
      "- /dev/ttyUSB0 (COM5: LYR USB Debug Interface, USB)\n";
  const std::string json =
      R"({"event":"present","port":"COM1","path":"/dev/ttyS0","name":"Communications Port","usb":false})"
      "\n"
      R"({"event":"added","port":"COM5","path":"/dev/ttyUSB0","name":"LYR USB Debug Interface","usb":true})"
      "\n"
      R"({"event":"added","port":"COM7","path":"/dev/ttyACM1","name":"USB Serial Port","usb":true})"
      "\n"
      R"({"event":"removed","port":"COM5","path":"/dev/ttyUSB0","name":"LYR USB Debug Interface","usb":true})"
      "\n";
  for (const bool asJson : {false, true}) {
    SCOPED_TRACE(asJson ? "json" : "text");
    FakePortWatchSource source({kUart});
    WatchStop stop;
    WatchRecorder recorder;
    // Events and the stop wait before the watch starts: every event is printed before it ends.
    for (const PortEvent& event : {Added(kDebug), Added(kDebug), Added(kAcm), Removed(kDebug), Removed(kDebug)})
      source.Push(event);
    stop.Request();
    std::string error;
    EXPECT_TRUE(RunPortWatch(source, stop, recorder.Output(asJson), error)) << error;
    EXPECT_EQ(recorder.Text(), asJson ? json : text);
  }
}

TEST(PortWatch, FollowsEventsFromAnotherThreadUntilStopped) {
  FakePortWatchSource source;
  WatchStop stop;
  WatchRecorder recorder;
  bool ended = false;
  std::string error;
  std::thread watcher([&] { ended = RunPortWatch(source, stop, recorder.Output(false), error); });
  source.Push(Added(kDebug));
  ASSERT_TRUE(recorder.WaitFor("+ /dev/ttyUSB0"));
  source.Push(Removed(kDebug));
  ASSERT_TRUE(recorder.WaitFor("- /dev/ttyUSB0"));
  // Nothing left to report: the watch waits until the stop ends it.
  stop.Request();
  watcher.join();
  EXPECT_TRUE(ended) << error;
  EXPECT_EQ(
      recorder.Text(),
      "+ /dev/ttyUSB0 (COM5: LYR USB Debug Interface, USB)\n- /dev/ttyUSB0 (COM5: LYR USB Debug Interface, USB)\n");
}

TEST(PortWatch, ASourceThatCannotStartEndsTheWatchWithItsReason) {
  FakePortWatchSource source({kUart});
  source.FailStart("Port watching is not available");
  WatchStop stop;
  WatchRecorder recorder;
  std::string error;
  EXPECT_FALSE(RunPortWatch(source, stop, recorder.Output(false), error));
  EXPECT_EQ(error, "Port watching is not available");
  EXPECT_EQ(recorder.Text(), "");
}

TEST(PortWatch, TheStopStaysRequestedUntilCleared) {
  FakePortWatchSource source;
  std::string error;
  ASSERT_TRUE(source.Start(error));
  WatchStop stop;
  EXPECT_FALSE(stop.Requested());
  EXPECT_EQ(WaitForPortEvents(source, stop, 0), WatchWait::Events);  // a timeout: nothing to take
  EXPECT_TRUE(source.TakeEvents().empty());
  stop.Request();
  EXPECT_EQ(WaitForPortEvents(source, stop), WatchWait::Stopped);
  EXPECT_EQ(WaitForPortEvents(source, stop), WatchWait::Stopped);
  stop.Clear();
  EXPECT_FALSE(stop.Requested());
}

}  // namespace
}  // namespace tessaro
