// What a production line needs around the image operations of tessaro-cli: the event stream
// (--events), the station log (--log), the progress lines of several boards on a terminal and
// the boards' ports (--port given more than once, --ports PATTERN). Every board runs on its own
// thread; what they share here is behind a mutex, and each line is written whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/Terminal.h"
#include "common/Json.h"

namespace tessaro::cli {

// Now as "2026-12-11T03:04:05.678Z".
std::string UtcTimeText(std::chrono::system_clock::time_point time = std::chrono::system_clock::now());

// The ports of a run: every --port in the order given, then what --ports PATTERN names ("table":
// every port of the port table; else a glob of device paths, in sorted order). False with a
// message when the pattern names none or a port is named twice.
bool ListPorts(const std::vector<std::string>& given, const std::optional<std::string>& pattern,
               std::vector<std::string>& ports, std::string& error);

// The file a board's read goes to when several boards are read: FILE with the port in its name
// before the extension ("dump.bin" and /dev/ttyUSB0 -> "dump-ttyUSB0.bin").
std::string PortFileName(const std::string& file, const std::string& port);

// JSON Lines to a file or stdout ("-"); every event one whole line.
class EventStream {
 public:
  // False with a message when the file cannot be created.
  bool Open(const std::string& target, std::string& error);
  ~EventStream();
  // One event: {"event": KIND, "port": PORT, "time": NOW, ...what `fields` adds}.
  void Write(const char* kind, const std::string& port, const std::function<void(JsonWriter&)>& fields);

 private:
  std::mutex lock_;
  std::FILE* file_ = nullptr;
  bool own_ = false;
};

// One JSON line per board and job, appended to station-YYYY-MM-DD.jsonl (UTC) in a folder; the
// folder and the files are readable by their owner only. Lines are appended with one write
// each, so several tessaro-cli processes may share a folder.
class StationLog {
 public:
  // Creates the folder when it is missing. False with a message when it cannot.
  bool Open(const std::string& folder, std::string& error);
  // False with a message when the line could not be written.
  bool Append(const std::string& line, std::string& error);

 private:
  std::mutex lock_;
  std::string folder_;
};

// One line per board on a terminal (port, chip, operation, percent, status), redrawn in place
// on stderr. Draws nothing when disabled.
class BoardLines {
 public:
  BoardLines(bool enabled, std::vector<std::string> ports, std::string chip);
  void Operation(size_t board, const std::string& operation);
  void Status(size_t board, const std::string& text);
  void Percent(size_t board, int percent);
  // The last drawing, and the lines left as they are.
  void Finish();

 private:
  struct Row {
    std::string port, operation, status;
    int percent = 0;
  };
  void Draw(bool force);  // under the lock

  std::mutex lock_;
  bool enabled_;
  std::string chip_;
  std::vector<Row> rows_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

// Follows one board for the event stream and the board lines (either may be absent).
class BoardReporter : public BoardWatcher {
 public:
  BoardReporter(EventStream* events, BoardLines* lines, size_t index, std::string port)
      : events_(events), lines_(lines), index_(index), port_(std::move(port)) {}
  void Operation(const std::string& operation);
  // The status code of the running session (null between sessions), read when its status line
  // changes: the line is shown with the code it was set for.
  void StatusSource(const uint32_t* code) { statusCode_ = code; }
  void Status(const std::string& text, int colourClass) override;
  void Position(const std::string& text) override;
  void Range(int32_t low, int32_t high) override;
  void Progress(int32_t position) override;
  void Question(const QuestionRecord& question);
  void Event(const char* kind, const std::function<void(JsonWriter&)>& fields);

 private:
  void ProgressEvent(bool force);

  EventStream* events_;
  BoardLines* lines_;
  size_t index_;
  std::string port_;
  std::string operation_;
  const uint32_t* statusCode_ = nullptr;
  int32_t low_ = 0, high_ = 100, position_ = 0;
  int lastPercent_ = -1;  // of the last progress event
  int linePercent_ = -1;  // of the board line
  std::chrono::steady_clock::time_point lastEvent_{};
  std::chrono::steady_clock::time_point lastPosition_{};
};

}  // namespace tessaro::cli
