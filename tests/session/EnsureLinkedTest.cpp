// The session's link-up step against the simulated board: a secured 8x47 is erased only when
// the user says so, and the job then programs it.
#include <gtest/gtest.h>

#include "link/LinkResult.h"
#include "session/ProgrammingJob.h"
#include "tests/session/SimSession.h"

namespace tessaro {
namespace {

using testing::SimHost;

sim::SimOptions Secured() {
  sim::SimOptions options;
  options.securityBit = true;
  return options;
}

TEST(EnsureLinked, ASecuredChipIsErasedOnlyWhenTheUserAgrees) {
  for (PromptAnswer answer : {PromptAnswer::No, PromptAnswer::Yes}) {
    SimHost host("LYR8547", Secured());
    host.yesNoAnswer = answer;
    ProgrammingJob job;
    job.destination = DestEmbedded;
    ResizeImage(job.image, 0x100);
    for (int32_t i = 0; i < 0x100; ++i) job.image.words[static_cast<size_t>(i)] = static_cast<uint16_t>(i * 3);
    FlashIf session(host);
    std::string error;
    const bool ran = job.ProgramImage(session, error);
    ASSERT_FALSE(host.boxes.empty());
    EXPECT_EQ(host.boxes.front(), "Cannot init target, security bit may be set.\nTry to erase?");
    if (answer == PromptAnswer::No) {
      EXPECT_FALSE(ran);
      EXPECT_EQ(error, "");
      EXPECT_TRUE(host.board->SecurityBit());
      continue;
    }
    ASSERT_TRUE(ran) << error;
    EXPECT_FALSE(host.board->SecurityBit());
    EXPECT_EQ(host.LastStatus(), "Embedded Flash: Program Success (not verified)");
    for (uint32_t i = 0; i < 0x100; ++i) ASSERT_EQ(host.board->FlashWord(i), static_cast<uint16_t>(i * 3)) << i;
  }
}

TEST(EnsureLinked, AnUnopenablePortIsAQuietRefusal) {
  SimHost host("LYR8721");
  host.link.SetPortOpener([](uint32_t) { return std::unique_ptr<PortDevice>(); });
  ProgrammingJob job;
  job.destination = DestEmbedded;
  ResizeImage(job.image, 0x10);
  FlashIf session(host);
  std::string error;
  EXPECT_FALSE(job.VerifyImage(session, error));
  EXPECT_EQ(error, "");
  EXPECT_TRUE(host.boxes.empty());  // result 1: the link layer has said it already
}

}  // namespace
}  // namespace tessaro
