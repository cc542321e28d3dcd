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

// An embedded-flash job of 0x100 words, word i = i * factor.
ProgrammingJob EmbeddedJob(int32_t factor) {
  ProgrammingJob job;
  job.destination = DestEmbedded;
  ResizeImage(job.image, 0x100);
  for (int32_t i = 0; i < 0x100; ++i) job.image.words[static_cast<size_t>(i)] = static_cast<uint16_t>(i * factor);
  return job;
}

TEST(EnsureLinked, ASecuredChipIsErasedOnlyWhenTheUserAgrees) {
  for (PromptAnswer answer : {PromptAnswer::No, PromptAnswer::Yes}) {
    SimHost host("LYR8547", Secured());
    host.yesNoAnswer = answer;
    ProgrammingJob job = EmbeddedJob(3);
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
    EXPECT_TRUE(session.chipErased);
    EXPECT_FALSE(host.board->SecurityBit());
    EXPECT_EQ(host.LastStatus(), "Embedded Flash: Program Success (not verified)");
    for (uint32_t i = 0; i < 0x100; ++i) ASSERT_EQ(host.board->FlashWord(i), static_cast<uint16_t>(i * 3)) << i;
  }
}

TEST(EnsureLinked, ALinkGlitchDoesNotEraseTheChip) {
  // Not secured, but the link is down for 300 ms while it is made: the first attempt fails as a
  // secured chip's would. The second one links; no erase is offered and the rest of the flash stays.
  sim::SimOptions options;
  options.linkLossAtMs = 30;
  options.linkLossMs = 300;
  SimHost host("LYR8547", options);
  host.yesNoAnswer = PromptAnswer::Yes;
  for (uint32_t i = 0x1000; i < 0x1100; ++i) host.board->SetFlashWord(i, static_cast<uint16_t>(i ^ 0xA5A5));
  ProgrammingJob job = EmbeddedJob(5);
  FlashIf session(host);
  std::string error;
  ASSERT_TRUE(job.ProgramImage(session, error)) << error;
  EXPECT_TRUE(host.boxes.empty()) << host.boxes.front();
  EXPECT_FALSE(session.chipErased);
  EXPECT_EQ(host.LastStatus(), "Embedded Flash: Program Success (not verified)");
  for (uint32_t i = 0; i < 0x100; ++i) ASSERT_EQ(host.board->FlashWord(i), static_cast<uint16_t>(i * 5)) << i;
  for (uint32_t i = 0x1000; i < 0x1100; ++i)
    ASSERT_EQ(host.board->FlashWord(i), static_cast<uint16_t>(i ^ 0xA5A5)) << i;
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
