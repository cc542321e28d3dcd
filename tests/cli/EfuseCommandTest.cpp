// tessaro-cli efuse run as a user runs it against an in-process simulated LYR9468: the parse
// with its exact messages, the dry run that burns nothing, the burn of exactly the plan, and
// the refusals. The simulated eFuse array is loaded from and dumped to files, so every check
// looks at what the chip holds afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/Files.h"
#include "tests/cli/CliRun.h"
#include "tests/image/EncryptFirmware.h"

namespace tessaro::testing {
namespace {

using Words = std::array<uint16_t, 64>;

// key word 0 (least significant) first: 0x0123-4567-89AB-CDEF-0F1E-2D3C-4B5A-6978 as written
constexpr std::array<uint16_t, 8> kKey = {0x6978, 0x4B5A, 0x2D3C, 0x0F1E, 0xCDEF, 0x89AB, 0x4567, 0x0123};
constexpr const char* kKeyText = "0x0123-4567-89AB-CDEF-0F1E-2D3C-4B5A-6978";

class EfuseCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    folder_ = std::string(tmp ? tmp : "/tmp") + "/tessaro-cli-efuse-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(folder_);
    ::setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = folder_ + "/" + name;
    EXPECT_TRUE(WriteWholeFile(path, text));
    return path;
  }
  // A board whose eFuse array starts as `words`; its array is dumped when the command ends.
  std::string Port(const Words& words, const std::string& extra = "") {
    std::string state = "tessaro-sim state 1\nefuses 64\n";
    for (uint16_t w : words) {
      state += static_cast<char>(w & 0xFF);
      state += static_cast<char>(w >> 8);
    }
    Write("board.state", state + "\n");
    return " --port sim:chip=LYR9468,interface=usb," + (extra.empty() ? "" : extra + ",") + "state=" + folder_ +
           "/board.state,dump-memory=efuses:" + folder_ + "/efuses.bin,trace=" + folder_ +
           "/trace.jsonl --config-string LYR9468 ";
  }
  Words Fuses() {
    const std::string bytes = ReadWholeFile(folder_ + "/efuses.bin").value_or("");
    Words words{};
    EXPECT_EQ(bytes.size(), 128u);
    for (size_t i = 0; i < words.size() && 2 * i + 1 < bytes.size(); ++i)
      words[i] =
          static_cast<uint16_t>(static_cast<uint8_t>(bytes[2 * i]) | (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    return words;
  }
  CliResult Run(const std::string& arguments) { return RunCli(arguments + " </dev/null", folder_ + "/stderr.txt"); }

  std::string folder_;
};

// The order a burn sends: key bits of session s (key word 0 bit 0 first), close, MIDI out,
// SSS boot, watchdog.
std::vector<unsigned long> ExpectedPlan(uint32_t s, bool key, bool close, bool midi, bool sss, bool watchdog) {
  std::vector<unsigned long> bits;
  for (uint32_t j = 0; key && j < 8; ++j)
    for (uint32_t b = 0; b < 16; ++b)
      if (kKey[j] & (1u << b)) bits.push_back((s + 1) * 128 + 16 * j + b);
  if (close) bits.push_back(s + 1);
  if (midi) bits.push_back(15);
  if (sss) bits.push_back(14);
  if (watchdog) bits.push_back(16 + s);
  return bits;
}

Words WithBits(Words words, const std::vector<unsigned long>& bits) {
  for (unsigned long bit : bits) words[bit / 16] = static_cast<uint16_t>(words[bit / 16] | (1u << (bit % 16)));
  return words;
}

TEST_F(EfuseCommand, ParseShowsTheFieldsOrTheExactError) {
  struct Case {
    const char* name;
    const char* text;  // nullptr: no file at all
    int exitCode;
    const char* error;  // after "Unable to parse PATH:\r\n", as JSON writes it
  };
  const Case cases[] = {
      {"valid",
       "; production key\nAES = 0x0123 4567 89AB CDEF 0F1E 2D3C 4B5A 6978\nSecured=1\nWatchDog = 5\nMC=0x12345\n", 0,
       nullptr},
      {"group of three", "AES = 0x012 3456\n", 1, "Invalid Number: 0x012 3456"},
      {"unknown keyword", "Serial = 1\n", 1, "Invalid Keyword: Serial = 1"},
      {"no identifier", "= 5\n", 1, "Missing Identifier: = 5"},
      {"no value", "AES =  \n", 1, "Missing Assignment: AES"},
      {"no equals", "AES 5\n", 1, "Invalid line: AES 5"},
      {"missing file", nullptr, 1, "File not found!"},
  };
  for (const Case& c : cases) {
    const std::string path = c.text ? Write("key.efu", c.text) : folder_ + "/none.efu";
    CliResult r = Run("efuse --parse --json " + path);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name << r.err;
    if (c.error) {
      EXPECT_EQ(JsonValue(r.out, "valid"), "false") << c.name;
      EXPECT_EQ(JsonValue(r.out, "error"), "Unable to parse " + path + ":\\n" + c.error) << c.name;
      // The plain output names the same text.
      CliResult plain = Run("efuse --parse " + path);
      EXPECT_EQ(plain.exitCode, 1);
      EXPECT_NE(plain.err.find(std::string("Error parsing EFU file: Unable to parse ") + path + ":\n" + c.error),
                std::string::npos)
          << plain.err;
    } else {
      EXPECT_EQ(JsonValue(r.out, "valid"), "true");
      EXPECT_EQ(JsonValue(r.out, "aes"), "0123456789ABCDEF0F1E2D3C4B5A6978");
      EXPECT_EQ(JsonValue(r.out, "flags"), std::to_string(1 | 4 | 8 | 16));
      EXPECT_EQ(JsonValue(r.out, "mc"), std::to_string(0x2345));
      EXPECT_EQ(JsonValue(r.out, "watchdog"), "true");
      EXPECT_EQ(JsonValue(r.out, "secured"), "true");
      EXPECT_EQ(JsonValue(r.out, "midiOut"), "false");
    }
  }
  EXPECT_EQ(Run("efuse --parse").exitCode, 2);
}

TEST_F(EfuseCommand, DryRunShowsThePlanAndSendsNoEfuseCommand) {
  const std::string efu = Write("key.efu", std::string("AES = ") + kKeyText + "\nSecured = 1\nMidiOutEnable = 1\n");
  Words start{};
  start[0] = 0x0100;  // session counter: one session used, the current one is session 1
  CliResult r = Run("efuse --json" + Port(start) + efu);
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_EQ(JsonValue(r.out, "session"), "1");
  EXPECT_EQ(JsonValue(r.out, "sessionText"), "Session: 2/7");
  EXPECT_EQ(JsonValue(r.out, "programmedKey"), "null");
  EXPECT_EQ(JsonNumbers(r.out, "plan"), ExpectedPlan(1, true, true, true, false, false));
  EXPECT_EQ(JsonNumbers(r.out, "fuseWords"), std::vector<unsigned long>(start.begin(), start.end()));
  EXPECT_TRUE(JsonNumbers(r.out, "burned").empty());
  // The chip was read, never burned.
  EXPECT_EQ(Fuses(), start);
  const std::string trace = ReadWholeFile(folder_ + "/trace.jsonl").value_or("");
  EXPECT_NE(trace.find("readFuse"), std::string::npos);
  EXPECT_EQ(trace.find("\"efuse\""), std::string::npos);

  // The plain listing gives each bit its meaning.
  CliResult plain = Run("efuse" + Port(start) + efu);
  EXPECT_EQ(plain.exitCode, 0);
  EXPECT_NE(plain.out.find("  2  word 0 bit 2: close of session 2/7\n"), std::string::npos) << plain.out;
  EXPECT_NE(plain.out.find("  15  word 0 bit 15: MIDI out enable\n"), std::string::npos);
  EXPECT_NE(plain.out.find("Dry run: nothing burned"), std::string::npos);
  EXPECT_EQ(Fuses(), start);
}

TEST_F(EfuseCommand, BurnWithYesBurnsExactlyThePlan) {
  const std::string efu = Write("key.efu", std::string("AES = ") + kKeyText + "\nSSSBootEnable = 1\nWatchDog = 1\n");
  Words start{};
  start[0] = 0x0300;  // current session 2
  CliResult r = Run("efuse --json --burn --yes --secure-session" + Port(start) + efu);
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  const std::vector<unsigned long> plan = ExpectedPlan(2, true, true, false, true, true);
  EXPECT_EQ(JsonNumbers(r.out, "plan"), plan);
  EXPECT_EQ(JsonNumbers(r.out, "burned"), plan);
  EXPECT_EQ(JsonValue(r.out, "status"), "eFuses programmed!");
  EXPECT_EQ(JsonValue(r.out, "sessionText"), "Session closed");
  const Words expected = WithBits(start, plan);
  EXPECT_EQ(Fuses(), expected);
  EXPECT_EQ(JsonNumbers(r.out, "fuseWords"), std::vector<unsigned long>(expected.begin(), expected.end()));

  // A second run sees the key in the chip and plans no key bits again.
  CliResult again = Run("efuse --json" + Port(expected) + efu);
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_EQ(JsonValue(again.out, "programmedKey"), "Programmed: 0123-4567-89AB-CDEF-0F1E-2D3C-4B5A-6978");
  EXPECT_EQ(JsonNumbers(again.out, "plan"), ExpectedPlan(2, false, false, false, true, true));
}

TEST_F(EfuseCommand, RefusalsBurnNothing) {
  const std::string efu = Write("key.efu", std::string("AES = ") + kKeyText + "\nSecured = 1\n");
  Words otherKey{};
  otherKey[8] = 0x0001;  // session 0 holds another key
  // No to the key question.
  CliResult no = Run("efuse --json --burn --no" + Port(otherKey) + efu);
  EXPECT_EQ(no.exitCode, 3) << no.err << no.out;
  EXPECT_NE(no.out.find("AES Key already programmed and differs from Key specified in EFU file, continue?"),
            std::string::npos);
  EXPECT_EQ(JsonValue(no.out, "status"), "Programming aborted!");
  EXPECT_EQ(Fuses(), otherKey);

  // --burn without --yes and without a terminal to type BURN on.
  Words blank{};
  CliResult unconfirmed = Run("efuse --burn" + Port(blank) + efu);
  EXPECT_EQ(unconfirmed.exitCode, 3) << unconfirmed.err;
  EXPECT_NE(unconfirmed.err.find("burn not confirmed"), std::string::npos) << unconfirmed.err;
  EXPECT_EQ(Fuses(), blank);

  // Yes to the key question: the options burn, the other key stays as it is.
  CliResult yes = Run("efuse --json --burn --yes" + Port(otherKey) + efu);
  EXPECT_EQ(yes.exitCode, 0) << yes.err;
  EXPECT_EQ(Fuses(), WithBits(otherKey, {1}));
}

TEST_F(EfuseCommand, UsageAndParseFailuresBeforeAnyLink) {
  const std::string bad = Write("bad.efu", "Serial = 1\n");
  Words blank{};
  CliResult parse = Run("efuse --burn --yes" + Port(blank) + bad);
  EXPECT_EQ(parse.exitCode, 1);
  EXPECT_NE(parse.err.find("Unable to parse " + bad + ":\nInvalid Keyword: Serial = 1"), std::string::npos)
      << parse.err;
  EXPECT_EQ(Fuses(), blank);
  // The JSON tells the status the dialog shows for such a file, in its colour.
  CliResult parseJson = Run("efuse --json --burn --yes" + Port(blank) + bad);
  EXPECT_EQ(parseJson.exitCode, 1);
  EXPECT_EQ(JsonValue(parseJson.out, "status"), "Please check EFU contents!") << parseJson.out;
  EXPECT_EQ(JsonValue(parseJson.out, "colourClass"), "3") << parseJson.out;
  EXPECT_EQ(Fuses(), blank);
  const std::string efu = Write("key.efu", "Secured = 1\n");
  EXPECT_EQ(Run("efuse --port sim:chip=LYR8721 --config-string LYR8721 " + efu).exitCode, 2);
  EXPECT_EQ(Run("efuse --yes --no" + Port(blank) + efu).exitCode, 2);
  EXPECT_EQ(Run("efuse --config-string LYR9468 " + efu).exitCode, 2);
}

// An encrypted firmware of 2048 words for regular boot at address 0 (a binary file loads
// there), written as FILE.bin with its EFU file beside it; the EFU file names `efuKey`.
std::string WriteFirmware(const std::string& folder, const std::array<uint16_t, 8>& efuKey,
                          const std::string& efuExtra) {
  std::vector<uint16_t> plain(2048, 0x1111);
  plain[1024] = 0x790C;
  plain[1025] = 0x0340;
  std::vector<uint16_t> words = Encrypt(plain, kKey, BOOT_REGULAR, 0);
  // The header group is not encrypted: size, size / 65536, the encryption mark and a checksum.
  words[1] = 2048;
  words[2] = 0;
  words[5] = 0x0004;
  words[3] = 0;
  uint16_t sum = 0;
  for (uint16_t w : words) sum = static_cast<uint16_t>(sum + w);
  words[3] = static_cast<uint16_t>(0x10000 - sum);
  std::string bytes;
  for (uint16_t w : words) {
    bytes += static_cast<char>(w & 0xFF);
    bytes += static_cast<char>(w >> 8);
  }
  EXPECT_TRUE(WriteWholeFile(folder + "/fw.bin", bytes));
  EfuNumber key{};
  std::copy(efuKey.begin(), efuKey.end(), key.begin());
  EXPECT_TRUE(WriteWholeFile(folder + "/fw.Efu", "AES = 0x" + EfuKeyHex(key) + "\n" + efuExtra));
  return folder + "/fw.bin";
}

TEST_F(EfuseCommand, ImageChecksAnEncryptedFirmwareForEveryBootSource) {
  const std::string firmware = WriteFirmware(folder_, kKey, "Secured = 1\n");
  CliResult r = Run("image --json " + firmware);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(JsonValue(r.out, "kind"), "2");
  EXPECT_EQ(JsonValue(r.out, "kindText"), "Encrypted Firmware + eFuses[AES,Sec]");
  EXPECT_EQ(JsonValue(r.out, "valid"), "true");
  EXPECT_EQ(JsonValue(r.out, "aes"), "0123456789ABCDEF0F1E2D3C4B5A6978");
  auto source = [&](const char* name) { return r.out.substr(r.out.find(std::string("\"") + name + "\":")); };
  EXPECT_EQ(JsonValue(source("regular"), "ok"), "true");
  EXPECT_EQ(JsonValue(source("regular"), "message"), "");
  EXPECT_EQ(JsonValue(source("nand"), "ok"), "false");
  EXPECT_EQ(JsonValue(source("nand"), "message"),
            "Incompatible Encryption for NAND Boot!\\nPlease select NAND Boot in your project settings.");
  EXPECT_EQ(JsonValue(source("host"), "ok"), "false");
  EXPECT_EQ(JsonValue(source("host"), "message"),
            "Incompatible Encryption for Host Boot!\\nPlease select HOST Boot in your project settings.");

  // A bad EFU file beside it: the parse failure, and the check says it has no key.
  ASSERT_TRUE(WriteWholeFile(folder_ + "/fw.Efu", "AES 1\n"));
  CliResult bad = Run("image --json " + firmware);
  EXPECT_EQ(bad.exitCode, 0);
  EXPECT_EQ(JsonValue(bad.out, "error"), "");
  EXPECT_EQ(JsonValue(bad.out.substr(bad.out.find("\"efu\"")), "error"),
            "Unable to parse " + folder_ + "/fw.Efu:\\nInvalid line: AES 1");
  EXPECT_EQ(JsonValue(bad.out.substr(bad.out.find("\"regular\"")), "message"), "EFU File not parsed or empty");
  const std::string raw = Write("raw.bin", "abcdef");
  CliResult plain = Run("image --json " + raw);
  EXPECT_EQ(JsonValue(plain.out, "kindText"), "Raw binary Data");
  EXPECT_EQ(plain.out.find("\"efu\""), std::string::npos);
}

TEST_F(EfuseCommand, ProgramChecksAnEncryptedFirmwareAgainstItsEfuKeyFirst) {
  // The simulated 9xxx board carries no external flash here, so the destination is named.
  const std::string board = " --port sim:chip=LYR9468,interface=usb --config-string LYR9468 --dest embedded ";
  std::array<uint16_t, 8> otherKey = kKey;
  otherKey[0] ^= 1;
  const std::string firmware = WriteFirmware(folder_, otherKey, "Secured = 1\n");
  // The EFU file names another key: a No to "Program anyway?" refuses before any device work.
  CliResult refused = Run("program --json --no" + board + firmware);
  EXPECT_EQ(refused.exitCode, 3) << refused.err << refused.out;
  EXPECT_EQ(JsonValue(refused.out, "error"),
            "Encryption key does not seem to match Firmware Encryption!\\nMaybe wrong Boot Source selected in project "
            "settings?\\nProgram anyway?");
  EXPECT_EQ(JsonValue(refused.out, "hostToTarget"), "0");
  EXPECT_EQ(JsonValue(refused.out, "efuse"), "null");
  // With the right key there is nothing to ask (the job goes on and finds no embedded flash).
  WriteFirmware(folder_, kKey, "Secured = 1\n");
  CliResult matching = Run("program --json --no" + board + firmware);
  EXPECT_EQ(matching.out.find("Program anyway?"), std::string::npos) << matching.out;
  EXPECT_EQ(matching.out.find("Encryption"), std::string::npos) << matching.out;
}

// The burn after firmware through program: an encrypted firmware into the serial flash of a
// simulated LYR9468, its EFU file beside it. The fuses burn only with --burn and a confirmation,
// exactly the plan, and a burn the link cuts short fails the run.
TEST_F(EfuseCommand, ProgramBurnsTheFusesAfterTheFirmwareOnlyWhenAskedTo) {
  const std::string firmware = WriteFirmware(folder_, kKey, "Secured = 1\nMidiOutEnable = 1\n");
  const std::string firmwareBytes = ReadWholeFile(firmware).value_or("");
  const std::string flashDump = folder_ + "/spi.bin";
  auto port = [&](const Words& words, const std::string& fault) {
    return Port(words, "spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2,dump-memory=spi:" + flashDump + fault) +
           "--df AT45DB161E --df-enable P7.15=0 --dest serial " + firmware;
  };
  // The fields of the JSON's "efuse" object (the steps have a "read" of their own).
  auto efuse = [](const CliResult& r) { return r.out.substr(std::min(r.out.size(), r.out.find("\"efuse\":"))); };
  auto trace = [&] { return ReadWholeFile(folder_ + "/trace.jsonl").value_or(""); };
  const Words blank{};
  const std::vector<unsigned long> plan = ExpectedPlan(0, true, true, true, false, false);

  // --yes answers the questions, it does not burn: the plan is shown, no eFuse command is sent.
  CliResult dry = Run("program --json --yes" + port(blank, ""));
  ASSERT_EQ(dry.exitCode, 0) << dry.err << dry.out;
  EXPECT_EQ(JsonValue(dry.out, "statusText"), "Serial Flash: Program and Verify Success");
  EXPECT_TRUE(ReadWholeFile(flashDump).value_or("").compare(0, firmwareBytes.size(), firmwareBytes) == 0)
      << "the serial flash does not hold the firmware";
  EXPECT_EQ(JsonValue(efuse(dry), "read"), "true");
  EXPECT_EQ(JsonValue(efuse(dry), "burned"), "false");
  EXPECT_EQ(JsonNumbers(dry.out, "plan"), plan);
  EXPECT_TRUE(JsonNumbers(dry.out, "burnedBits").empty());
  EXPECT_EQ(Fuses(), blank);
  EXPECT_NE(trace().find("readFuse"), std::string::npos);
  EXPECT_EQ(trace().find("\"efuse\""), std::string::npos);
  CliResult plain = Run("program --yes" + port(blank, ""));
  EXPECT_EQ(plain.exitCode, 0) << plain.err;
  EXPECT_NE(plain.out.find("Dry run: no eFuse burned"), std::string::npos) << plain.out;
  EXPECT_EQ(Fuses(), blank);

  // --burn without a terminal to type BURN on: refused, nothing burned.
  CliResult unconfirmed = Run("program --json --burn" + port(blank, ""));
  EXPECT_EQ(unconfirmed.exitCode, 3) << unconfirmed.err << unconfirmed.out;
  EXPECT_EQ(JsonValue(efuse(unconfirmed), "refused"), "true");
  EXPECT_EQ(Fuses(), blank);
  EXPECT_EQ(trace().find("\"efuse\""), std::string::npos);

  // --burn --yes: exactly the plan, read back.
  CliResult burned = Run("program --json --burn --yes" + port(blank, ""));
  ASSERT_EQ(burned.exitCode, 0) << burned.err << burned.out;
  EXPECT_EQ(JsonValue(efuse(burned), "burned"), "true");
  EXPECT_EQ(JsonNumbers(burned.out, "burnedBits"), plan);
  EXPECT_TRUE(JsonNumbers(burned.out, "missingBits").empty());
  EXPECT_EQ(Fuses(), WithBits(blank, plan));
  const std::string burnTrace = trace();
  ASSERT_NE(burnTrace.find("\"efuse\""), std::string::npos);

  // The cable pulled a few fuse bits into the burn: the run fails and the chip holds a part of
  // the plan, nothing outside it.
  const size_t firstBit = burnTrace.find("{\"op\":\"efuse\",\"code\":17");
  ASSERT_NE(firstBit, std::string::npos) << burnTrace.substr(burnTrace.find("\"efuse\""), 400);
  size_t commandsBefore = 0;
  for (size_t at = 0; at < firstBit; at = burnTrace.find('\n', at) + 1) ++commandsBefore;
  ASSERT_LT(commandsBefore, 20000u) << "the trace keeps the last 20000 commands only: the count is not the board's";
  CliResult cut =
      Run("program --json --burn --yes" + port(blank, ",unplug-at-command=" + std::to_string(commandsBefore + 5)));
  EXPECT_EQ(cut.exitCode, 1) << cut.err << cut.out;
  EXPECT_EQ(JsonValue(cut.out, "ok"), "false");
  const Words partial = Fuses();
  EXPECT_NE(partial, blank) << "the cut came before the burn";
  EXPECT_NE(partial, WithBits(blank, plan)) << "the cut came after the burn";
  std::vector<unsigned long> set;
  for (unsigned long bit = 0; bit < 64 * 16; ++bit)
    if (partial[bit / 16] & (1u << (bit % 16))) set.push_back(bit);
  for (unsigned long bit : set) EXPECT_NE(std::find(plan.begin(), plan.end(), bit), plan.end()) << "bit " << bit;
}

}  // namespace
// The event stream and the station log of a run that programs an encrypted firmware name the
// image by its digest; the key of its EFU file appears in neither, in any spelling.
TEST_F(EfuseCommand, EventsAndStationLogNeverCarryTheKey) {
  const std::string firmware = WriteFirmware(folder_, kKey, "Secured = 1\n");
  const std::string events = folder_ + "/events.jsonl";
  CliResult r = Run("program --yes --events " + events + " --log " + folder_ + "/log" +
                    Port(Words{}, "spi-flash=AT45DB161E@P7.15,dataflash-pages=pow2") +
                    "--df AT45DB161E --df-enable P7.15=0 --dest serial " + firmware);
  ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("eFuse bits after the firmware"), std::string::npos) << "the plan holds the key's bits";
  std::string written = ReadWholeFile(events).value_or("");
  EXPECT_NE(written.find("\"event\":\"done\""), std::string::npos) << written;
  for (const auto& entry : std::filesystem::directory_iterator(folder_ + "/log"))
    written += ReadWholeFile(entry.path().string()).value_or("");
  EXPECT_NE(written.find("\"imageDigest\""), std::string::npos);
  std::string upper = written;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const char* key : {"0123456789ABCDEF0F1E2D3C4B5A6978", "0123-4567-89AB-CDEF", "0F1E2D3C4B5A6978"})
    EXPECT_EQ(upper.find(key), std::string::npos) << key;
}

}  // namespace tessaro::testing