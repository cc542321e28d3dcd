// What the NOR and NAND tests share: a programming job run through a session against a
// simulated board, keeping the status each run ended with (random image words come with the
// other external-flash helpers).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "session/ProgrammingJob.h"
#include "tests/session/ExternalFlashSupport.h"
#include "tests/session/SimSession.h"

namespace tessaro::testing {

// The board's devices are attached by the derived fixture, which links (host.Prelink) last.
class JobOnSimBoard {
 public:
  explicit JobOnSimBoard(const char* chip) : host(chip) {}

  void Load(const std::vector<uint16_t>& words) {
    ResizeImage(job.image, static_cast<int32_t>(words.size()));
    std::copy(words.begin(), words.end(), job.image.words.begin());
  }
  // True when the operation ran (its device result is in `status`); false when it was refused.
  bool Program(std::string& error) {
    FlashIf session(host);
    const bool started = job.ProgramImage(session, error);
    status = session.statusCode;
    linkLost = session.linkLost;
    return started;
  }
  bool Verify(std::string& error) {
    FlashIf session(host);
    const bool started = job.VerifyImage(session, error);
    status = session.statusCode;
    linkLost = session.linkLost;
    return started;
  }

  SimHost host;
  ProgrammingJob job;
  uint32_t status = 0;
  bool linkLost = false;  // the last run found the link gone
};

}  // namespace tessaro::testing
