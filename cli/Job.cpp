#include "cli/Job.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/Cli.h"
#include "platform/PortTable.h"
#include "platform/Settings.h"

namespace tessaro::cli {

std::string UtcTimeText(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(millis));
  return text;
}

bool ListPorts(const std::vector<std::string>& given, const std::optional<std::string>& pattern,
               std::vector<std::string>& ports, std::string& error) {
  ports = given;
  if (pattern) {
    std::vector<std::string> found;
    if (*pattern == "table") {
      SettingsFile settings(UserSettingsPath());
      settings.Load();
      const PortTable table(settings);
      for (const auto& [number, path] : table.Entries()) found.push_back(path);
    } else {
      glob_t matches{};
      if (::glob(pattern->c_str(), 0, nullptr, &matches) == 0) {
        for (size_t i = 0; i < matches.gl_pathc; ++i) found.emplace_back(matches.gl_pathv[i]);
      }
      ::globfree(&matches);
    }
    if (found.empty()) {
      error = "--ports '" + *pattern + "' names no port";
      return false;
    }
    ports.insert(ports.end(), found.begin(), found.end());
  }
  // Two links on one device would fight over it; a simulated board is made once per name.
  std::set<std::string> seen;
  for (const std::string& port : ports) {
    if (!seen.insert(port).second) {
      error = "port '" + port + "' is named twice";
      return false;
    }
  }
  return true;
}

std::string PortFileName(const std::string& file, const std::string& port) {
  std::string name = port.rfind("/dev/", 0) == 0 ? port.substr(5) : port;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
  }
  const std::filesystem::path path(file);
  std::filesystem::path result = path;
  result.replace_filename(path.stem().string() + "-" + name + path.extension().string());
  return result.string();
}

// ---- event stream ----

bool EventStream::Open(const std::string& target, std::string& error) {
  if (target == "-") {
    file_ = stdout;
    return true;
  }
  file_ = std::fopen(target.c_str(), "w");
  if (file_ == nullptr) {
    error = "cannot create the event file " + target + ": " + std::strerror(errno);
    return false;
  }
  own_ = true;
  return true;
}

EventStream::~EventStream() {
  if (own_ && file_ != nullptr) std::fclose(file_);
}

void EventStream::Write(const char* kind, const std::string& port, const std::function<void(JsonWriter&)>& fields) {
  JsonWriter out(false);
  out.BeginObject().Field("event", kind).Field("port", port).Field("time", UtcTimeText());
  if (fields) fields(out);
  out.EndObject();
  const std::string line = out.Finish();
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

// ---- station log ----

bool StationLog::Open(const std::string& folder, std::string& error) {
  std::error_code code;
  if (!std::filesystem::is_directory(folder, code)) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      error = "cannot create the log folder " + folder + ": " + std::strerror(errno);
      return false;
    }
  }
  folder_ = folder;
  return true;
}

bool StationLog::Append(const std::string& line, std::string& error) {
  const std::string time = UtcTimeText();
  const std::string path = folder_ + "/station-" + time.substr(0, 10) + ".jsonl";
  std::lock_guard<std::mutex> guard(lock_);
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot open the station log " + path + ": " + std::strerror(errno);
    return false;
  }
  const ssize_t written = ::write(fd, line.data(), line.size());
  ::close(fd);
  if (written != static_cast<ssize_t>(line.size())) {
    error = "cannot write the station log " + path;
    return false;
  }
  return true;
}

// ---- the lines of several boards ----

BoardLines::BoardLines(bool enabled, std::vector<std::string> ports, std::string chip)
    : enabled_(enabled), chip_(std::move(chip)) {
  for (std::string& port : ports) rows_.push_back(Row{std::move(port), "", "waiting", 0});
}

void BoardLines::Operation(size_t board, const std::string& operation) {
  std::lock_guard<std::mutex> guard(lock_);
  rows_[board].operation = operation;
  rows_[board].percent = 0;
  Draw(true);
}

void BoardLines::Status(size_t board, const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  rows_[board].status = text;
  Draw(false);
}

void BoardLines::Percent(size_t board, int percent) {
  std::lock_guard<std::mutex> guard(lock_);
  rows_[board].percent = percent;
  Draw(false);
}

void BoardLines::Finish() {
  std::lock_guard<std::mutex> guard(lock_);
  Draw(true);
}

void BoardLines::Draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(200)) return;
  lastDraw_ = now;
  size_t portWidth = 4;
  for (const Row& row : rows_) portWidth = std::max(portWidth, std::min<size_t>(row.port.size(), 40));
  std::string text;
  if (drawn_) text += "\x1b[" + std::to_string(rows_.size()) + "A";
  for (const Row& row : rows_) {
    char line[512];
    std::snprintf(line, sizeof line, "\r\x1b[K%-*.*s  %-8s  %-11s %3d%%  %.200s\n", static_cast<int>(portWidth),
                  static_cast<int>(portWidth), row.port.c_str(), chip_.c_str(), row.operation.c_str(), row.percent,
                  row.status.c_str());
    text += line;
  }
  WriteErr(text);
  drawn_ = true;
}

// ---- one board ----

void BoardReporter::Event(const char* kind, const std::function<void(JsonWriter&)>& fields) {
  if (events_) events_->Write(kind, port_, fields);
}

void BoardReporter::Operation(const std::string& operation) {
  operation_ = operation;
  lastPercent_ = linePercent_ = -1;
  if (lines_) lines_->Operation(index_, operation);
}

void BoardReporter::Status(const std::string& text, int colourClass) {
  if (lines_) lines_->Status(index_, text);
  Event("status", [&](JsonWriter& out) {
    out.Key("code");
    statusCode_ ? out.Unsigned(*statusCode_) : out.Null();
    out.Field("text", TerminalText(text)).Field("colourClass", colourClass);
  });
}

void BoardReporter::Position(const std::string& text) {
  if (lines_) lines_->Status(index_, text);
  // The position moves page by page: at most four lines a second.
  const auto now = std::chrono::steady_clock::now();
  if (now - lastPosition_ < std::chrono::milliseconds(250)) return;
  lastPosition_ = now;
  Event("position", [&](JsonWriter& out) { out.Field("text", TerminalText(text)); });
}

void BoardReporter::Range(int32_t low, int32_t high) {
  low_ = low;
  high_ = high;
  position_ = low;
  ProgressEvent(true);
}

void BoardReporter::Progress(int32_t position) {
  position_ = position;
  ProgressEvent(position == high_);
}

void BoardReporter::Question(const QuestionRecord& question) {
  Event("question", [&](JsonWriter& out) {
    out.Field("text", question.text).Field("caption", question.caption).Field("answer", question.answer ? "yes" : "no");
  });
}

void BoardReporter::ProgressEvent(bool force) {
  const int64_t span = static_cast<int64_t>(high_) - low_;
  int percent = span > 0 ? static_cast<int>((static_cast<int64_t>(position_) - low_) * 100 / span) : 0;
  percent = std::clamp(percent, 0, 100);
  if (lines_ && percent != linePercent_) {
    linePercent_ = percent;
    lines_->Percent(index_, percent);
  }
  // A line per word would outgrow the work: at most four a second, and each range's ends.
  const auto now = std::chrono::steady_clock::now();
  if (!force && (percent == lastPercent_ || now - lastEvent_ < std::chrono::milliseconds(250))) return;
  lastPercent_ = percent;
  lastEvent_ = now;
  Event("progress", [&](JsonWriter& out) {
    out.Field("channel", operation_).Field("position", position_).Field("low", low_).Field("high", high_);
  });
}

}  // namespace tessaro::cli
