// Helpers the serial-flash and QSPI programming tests share: the shipped device descriptions,
// test images, message lookup, and the wire view of a simulator trace (the host's writes and
// routine calls in order, with reads and polls left out since their number depends on timing).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "definitions/DeviceCatalogue.h"
#include "definitions/PinList.h"
#include "session/FlashIf.h"
#include "session/ProgrammingJob.h"
#include "sim/SimTrace.h"

namespace tessaro::testing {

// The descriptions of the drivers folder, read once.
inline const DeviceCatalogue& ShippedCatalogue() {
  static DeviceCatalogue catalogue;
  static bool loaded = false;
  if (!loaded) {
    std::string error;
    EXPECT_TRUE(LoadDriverFolder(catalogue, std::string(TESSARO_SOURCE_DIR) + "/drivers", error)) << error;
    loaded = true;
  }
  return catalogue;
}

inline DataFlashDescription SerialDevice(const char* name) {
  DataFlashDescription block;
  EXPECT_TRUE(ShippedCatalogue().FindSerialDevice(name, block)) << name;
  return block;
}

inline const DeviceDescription& QspiDevice(const char* name) {
  const DeviceDescription* d = ShippedCatalogue().FindQspiDevice(name);
  EXPECT_NE(d, nullptr) << name;
  return *d;
}

inline std::vector<uint16_t> RandomWords(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint16_t> words(count);
  for (auto& w : words) w = static_cast<uint16_t>(generator());
  return words;
}

inline PinList Pins(const char* text) {
  PinList list;
  EXPECT_TRUE(ParsePinList(text, list)) << text;
  return list;
}

inline bool HasText(const std::vector<std::string>& boxes, const std::string& text) {
  return std::any_of(boxes.begin(), boxes.end(),
                     [&](const std::string& b) { return b.find(text) != std::string::npos; });
}

// One host action on the wire. `where` is the register number or the word address; a value is
// compared under `mask` (a read-modify-write of one pin bit is checked on that bit only).
struct WireWrite {
  std::string op;  // writeReg, writeIo, writeMem, writeBlock, call
  uint64_t where = 0;
  uint32_t value = 0;
  uint32_t mask = 0xFFFF;
  std::vector<uint16_t> data;  // writeBlock

  static WireWrite Reg(uint32_t reg, uint32_t value) { return {"writeReg", reg, value, 0xFFFF, {}}; }
  static WireWrite Io(uint32_t reg, uint32_t value) { return {"writeIo", reg, value, 0xFFFF, {}}; }
  static WireWrite IoBit(uint32_t reg, uint32_t bit, bool set) {
    return {"writeIo", reg, set ? 1u << bit : 0u, 1u << bit, {}};
  }
  static WireWrite Mem(uint64_t address, uint32_t value) { return {"writeMem", address, value, 0xFFFF, {}}; }
  static WireWrite Block(uint64_t address, std::vector<uint16_t> words) {
    return {"writeBlock", address, 0, 0, std::move(words)};
  }
  static WireWrite Call(uint32_t address) { return {"call", address, 0, 0, {}}; }

  std::string Text() const {
    std::ostringstream out;
    out << op << " 0x" << std::hex << where;
    if (op == "writeBlock")
      out << " (" << std::dec << data.size() << " words)";
    else if (op != "call")
      out << " = 0x" << std::hex << value;
    return out.str();
  }
};

// The writes and calls of a trace in order. Block writes that continue one another are joined:
// the link cuts a block into records of its own size.
inline std::vector<WireWrite> WireWrites(const std::vector<sim::SimTraceRecord>& trace) {
  std::vector<WireWrite> out;
  for (const sim::SimTraceRecord& r : trace) {
    const uint64_t where = r.Field(r.op == "writeReg" || r.op == "writeIo" ? "reg" : "addr").value_or(0);
    if (r.op == "writeBlock") {
      if (!out.empty() && out.back().op == "writeBlock" && out.back().where + out.back().data.size() == where) {
        out.back().data.insert(out.back().data.end(), r.data.begin(), r.data.end());
      } else {
        out.push_back(WireWrite::Block(where, r.data));
      }
    } else if (r.op == "writeReg" || r.op == "writeIo" || r.op == "writeMem") {
      out.push_back({r.op, where, static_cast<uint32_t>(r.Field("value").value_or(0)), 0xFFFF, {}});
    } else if (r.op == "call") {
      out.push_back(WireWrite::Call(static_cast<uint32_t>(where)));
    }
  }
  return out;
}

// Compares what crossed the wire with what the protocol prescribes, naming the first difference.
// With `prefix` the host may go on after the expected writes.
inline void ExpectWireWrites(const std::vector<WireWrite>& seen, const std::vector<WireWrite>& expected,
                             bool prefix = false) {
  const size_t common = std::min(seen.size(), expected.size());
  for (size_t i = 0; i < common; ++i) {
    const WireWrite& s = seen[i];
    const WireWrite& e = expected[i];
    const bool same = s.op == e.op && s.where == e.where && (s.value & e.mask) == e.value && s.data == e.data;
    if (!same) {
      ADD_FAILURE() << "write " << i << ": expected " << e.Text() << ", the host sent " << s.Text();
      return;
    }
  }
  if (prefix && seen.size() >= expected.size()) return;
  EXPECT_EQ(seen.size(), expected.size())
      << "next: " << (seen.size() > common ? "sent " + seen[common].Text() : "missing " + expected[common].Text());
}

// One blank check of a range and what it must find. Legend: range start and length, status,
// first word that is not 0xFFFF (for StatusNotBlank).
struct BlankCase {
  uint32_t start, words, status, firstWritten;
};

// Runs each blank check through the job and compares with the device's own words.
inline void ExpectBlankChecks(ProgrammingJob& job, FlashHost& host, const std::vector<BlankCase>& cases,
                              const std::function<uint16_t(uint32_t)>& deviceWord) {
  for (const BlankCase& c : cases) {
    FlashIf session(host);
    std::string error;
    ASSERT_TRUE(job.CheckBlankRange(session, c.start, c.words, error)) << error;
    EXPECT_EQ(session.statusCode, c.status) << "range at " << c.start;
    if (c.status == StatusNotBlank) {
      EXPECT_EQ(static_cast<uint32_t>(session.failureAddress), c.firstWritten);
      EXPECT_EQ(session.readValue, deviceWord(c.firstWritten));
    }
  }
}

}  // namespace tessaro::testing
