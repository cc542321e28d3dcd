// The busy time of a simulated flash part: how long a program or erase keeps it busy, and a
// part that never finishes (the stuck-busy fault), shared by the serial and QSPI models.
#pragma once

#include <chrono>

namespace tessaro::sim {

class BusyTime {
 public:
  bool Busy() const { return stuck_ || std::chrono::steady_clock::now() < until_; }
  // Busy for `time` from now; with `stuckForever` the part does not come back at all.
  void Start(std::chrono::milliseconds time, bool stuckForever) {
    if (stuckForever) stuck_ = true;
    until_ = std::chrono::steady_clock::now() + time;
  }
  void Hold(bool on) { stuck_ = on; }
  // Power-up: whatever was running is over.
  void Reset() {
    until_ = {};
    stuck_ = false;
  }

 private:
  std::chrono::steady_clock::time_point until_{};
  bool stuck_ = false;
};

}  // namespace tessaro::sim
