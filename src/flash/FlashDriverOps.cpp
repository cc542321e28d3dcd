// The common operations of every external flash driver, mapped onto each driver's own device
// work. Read-back and blank check come with the drivers' read paths; until a driver has them,
// Offers() says no and the calls fail without touching the device.
#include "flash/FlashDriverDF.h"
#include "flash/FlashDriverNAND.h"
#include "flash/FlashDriverPAR.h"
#include "flash/FlashDriverQSPI.h"
#include "flash/FlashDriverTDF.h"

namespace tessaro {

namespace {

// Operations a driver has, by kind. Legend: P probe, E erase, W write, V verify, R read,
// B blank check.
struct OperationRow {
  bool probe, erase, write, verify, read, blankCheck;
};
//                                     P     E      W     V     R      B
constexpr OperationRow kDataFlashOps{true, false, true, true, false, false};
constexpr OperationRow kQspiOps{true, true, true, true, false, false};
constexpr OperationRow kParallelOps{true, true, true, true, false, false};
constexpr OperationRow kNandOps{true, false, true, true, false, false};

bool Has(const OperationRow& row, FlashOperation operation) {
  switch (operation) {
    case FlashOperation::Probe: return row.probe;
    case FlashOperation::Erase: return row.erase;
    case FlashOperation::Write: return row.write;
    case FlashOperation::Verify: return row.verify;
    case FlashOperation::Read: return row.read;
    case FlashOperation::BlankCheck: return row.blankCheck;
  }
  return false;
}

}  // namespace

// ---- serial DataFlash ----
bool FlashDriverDF::Offers(FlashOperation operation) const { return Has(kDataFlashOps, operation); }
bool FlashDriverDF::Probe(FlashDriverIf& /*session*/, std::string& errorText) {
  // The device is taken as described once SetDevice accepted it; its identity is checked by
  // every Program and Verify.
  if (!ready) errorText += "No Serial Driver selected!";
  return ready;
}
bool FlashDriverDF::Erase(FlashDriverIf& /*session*/, uint32_t /*words*/) { return false; }
bool FlashDriverDF::Write(FlashDriverIf& session, ImageBuffer& image) { return Program(session, image); }
bool FlashDriverDF::Read(FlashDriverIf&, uint32_t, std::vector<uint16_t>&) { return false; }
bool FlashDriverDF::BlankCheck(FlashDriverIf&, uint32_t) { return false; }

// ---- QSPI NOR ----
bool FlashDriverQSPI::Offers(FlashOperation operation) const { return Has(kQspiOps, operation); }
bool FlashDriverQSPI::Probe(FlashDriverIf& session, std::string& errorText) { return CheckDevice(session, errorText); }
bool FlashDriverQSPI::Write(FlashDriverIf& session, ImageBuffer& image) { return Program(session, image); }
bool FlashDriverQSPI::Read(FlashDriverIf&, uint32_t, std::vector<uint16_t>&) { return false; }
bool FlashDriverQSPI::BlankCheck(FlashDriverIf&, uint32_t) { return false; }

// ---- parallel NOR ----
bool FlashDriverTDF::Offers(FlashOperation operation) const { return Has(kParallelOps, operation); }
bool FlashDriverTDF::Probe(FlashDriverIf& session, std::string& errorText) {
  return parallel_flash::CheckDevice(*this, session, errorText);
}
bool FlashDriverTDF::Erase(FlashDriverIf& session, uint32_t words) { return parallel_flash::Erase(*this, session, words); }
bool FlashDriverTDF::Write(FlashDriverIf& session, ImageBuffer& image) {
  return parallel_flash::Program(*this, session, image);
}
bool FlashDriverTDF::Verify(FlashDriverIf& session, ImageBuffer& image) {
  return parallel_flash::Verify(*this, session, image);
}
bool FlashDriverTDF::Read(FlashDriverIf&, uint32_t, std::vector<uint16_t>&) { return false; }
bool FlashDriverTDF::BlankCheck(FlashDriverIf&, uint32_t) { return false; }

// ---- NAND ----
bool FlashDriverNAND::Offers(FlashOperation operation) const { return Has(kNandOps, operation); }
bool FlashDriverNAND::Probe(FlashDriverIf& session, std::string& errorText) {
  return ready || Detect(session, errorText);
}
bool FlashDriverNAND::Erase(FlashDriverIf& /*session*/, uint32_t /*words*/) { return false; }
bool FlashDriverNAND::Write(FlashDriverIf& session, ImageBuffer& image) { return Program(session, image); }
bool FlashDriverNAND::Read(FlashDriverIf&, uint32_t, std::vector<uint16_t>&) { return false; }
bool FlashDriverNAND::BlankCheck(FlashDriverIf&, uint32_t) { return false; }

}  // namespace tessaro
