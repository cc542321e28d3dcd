// What the external-flash tests share: random image words, and a programming job run through a
// session against a simulated board, keeping the status each run ended with.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "session/ProgrammingJob.h"
#include "tests/session/SimSession.h"

namespace tessaro::testing {

inline std::vector<uint16_t> RandomWords(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint16_t> words(count);
  for (auto& w : words) w = static_cast<uint16_t>(generator());
  return words;
}

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
    return started;
  }
  bool Verify(std::string& error) {
    FlashIf session(host);
    const bool started = job.VerifyImage(session, error);
    status = session.statusCode;
    return started;
  }

  SimHost host;
  ProgrammingJob job;
  uint32_t status = 0;
};

}  // namespace tessaro::testing
