// What a target-side routine needs from whoever runs it: the link to upload and call through,
// a progress channel for the upload, and the user's cancel. The driver images reach whoever
// hosts them through this alone; the session object (flash/FlashDriverIf.h) implements it.
#pragma once

#include <cstdint>

namespace tessaro {

class SerialPort;

class RoutineHost {
 public:
  // Null when there is no link.
  virtual SerialPort* RoutineLink() = 0;
  // The upload of `total` words starts; the range is shown at once.
  virtual void BeginRoutineProgress(int32_t total) = 0;
  // `done` of the words are uploaded.
  virtual void RoutineProgress(int32_t done) = 0;
  // True when the user asked to stop (the host has reported it).
  virtual bool CheckCancel() = 0;

 protected:
  ~RoutineHost() = default;
};

}  // namespace tessaro
