// tessaro-cli with S-record and ELF images: image describes them, program and verify put their
// words into the simulated board's memory, and read writes S-records that load back.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "image/ImageBuffer.h"
#include "platform/Files.h"
#include "tests/cli/CliRun.h"
#include "tests/image/ElfBuilder.h"

namespace {

using Result = tessaro::testing::CliResult;
using tessaro::testing::JsonValue;

class ImageFormatsCommand : public tessaro::testing::CliFolderTest {
 protected:
  std::string Objcopy(const std::string& bin, const std::string& options, const std::string& name) {
    const std::string path = folder_ + "/" + name;
    EXPECT_EQ(std::system(("objcopy -I binary " + options + " '" + bin + "' '" + path + "'").c_str()), 0);
    return path;
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = folder_ + "/" + name;
    EXPECT_TRUE(tessaro::WriteWholeFile(path, bytes));
    return path;
  }
};

TEST_F(ImageFormatsCommand, ImageReportsRangeKindAndEntryOrTheFaultWithFileAndLine) {
  // A firmware (word 1 its size, all words adding up to zero) at byte address 0x400.
  const std::string firmware("\x34\x12\x03\x00\xC9\xED", 6);
  const std::string bin = Write("fw.bin", firmware);
  struct Case {
    std::string path;
    const char* format;
    const char* entry;
  };
  const Case cases[] = {
      {Objcopy(bin, "-O srec --change-addresses 0x400", "fw.s19"), "S-record", "1024"},
      {Write("fw.elf", tessaro::testing::BuildElf({false, true, ET_EXEC, 0x402}, {{PT_LOAD, 0x400, firmware}})), "ELF",
       "1026"},
  };
  for (const Case& c : cases) {
    Result r = Run("image --json '" + c.path + "'");
    EXPECT_EQ(r.exitCode, 0) << c.path << r.err;
    EXPECT_EQ(JsonValue(r.out, "format"), c.format);
    EXPECT_EQ(JsonValue(r.out, "startAddress"), "512") << r.out;
    EXPECT_EQ(JsonValue(r.out, "size"), "3");
    EXPECT_EQ(JsonValue(r.out, "kind"), "1");
    EXPECT_EQ(JsonValue(r.out, "kindAddress"), "512");
    EXPECT_EQ(JsonValue(r.out, "entryAddress"), c.entry);
    Result text = Run("image '" + c.path + "'");
    EXPECT_NE(text.out.find("(" + std::string(c.format) + ")\nSize:          3 words (3)\nStart address: 200\n"),
              std::string::npos)
        << text.out;
  }

  const std::string cut = Write("cut.srec", "S1050000010207\n");
  Result bad = Run("image --json '" + cut + "'");
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_EQ(JsonValue(bad.out, "error"), cut + ": line 1: checksum error (the record says 07, its bytes give F7)");
}

TEST_F(ImageFormatsCommand, ProgramAndVerifySRecordAndElfImagesIntoTheEmbeddedFlash) {
  std::string bytes;
  const std::string bin = Image(0x4000, 22, bytes);
  const std::string images[] = {
      Objcopy(bin, "-O srec", "image.srec"),
      Objcopy(bin, "-O srec --srec-forceS3 --srec-len 13", "image.s37"),
      Objcopy(bin, "-O elf32-big", "object.elf"),
      Write("linked.elf", tessaro::testing::BuildElf({true}, {{PT_LOAD, 0, bytes.substr(0, 0x3001)},
                                                              {PT_LOAD, 0x3001, bytes.substr(0x3001)}})),
  };
  for (const std::string& image : images) {
    SCOPED_TRACE(image);
    const std::string dump = folder_ + "/flash.bin";
    const std::string port = "--port sim:chip=LYR8721,state=" + folder_ + "/board.state,dump-memory=flash:" + dump;
    std::filesystem::remove(folder_ + "/board.state");
    Result r = Run("program " + port + " --config-string LYR8721 '" + image + "'");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Embedded Flash: Program Success (not verified)\nEmbedded Flash: Verify Success\n");
    EXPECT_EQ(tessaro::ReadWholeFile(dump).value_or(""), bytes);
    Result verify = Run("verify " + port + " --config-string LYR8721 '" + image + "'");
    EXPECT_EQ(verify.exitCode, 0) << verify.out << verify.err;
  }
}

TEST_F(ImageFormatsCommand, ReadWritesSRecordsThatLoadBackToTheWordsRead) {
  std::string bytes;
  const std::string image = Image(0x400, 7, bytes);
  const std::string target =
      " --port 'sim:board=LYR8321 Module,state=" + folder_ + "/nor.state' --board 'LYR8321 Module' --dest nor";
  ASSERT_EQ(Run("program" + target + " " + image).exitCode, 0);

  const std::string srec = folder_ + "/read.srec";
  Result read = Run("read" + target + " --start 10 --size 20 -o " + srec);
  ASSERT_EQ(read.exitCode, 0) << read.err;
  tessaro::ImageBuffer loaded;
  std::string error;
  ASSERT_TRUE(tessaro::LoadImageByExtension(loaded, srec, error)) << error;
  EXPECT_EQ(loaded.startAddress, 0x10u);
  EXPECT_EQ(loaded.size, 0x20);
  EXPECT_EQ(loaded.entryAddress, 0x20u);
  // GNU objcopy reads the file to the same bytes.
  const std::string back = folder_ + "/back.bin";
  ASSERT_EQ(std::system(("objcopy -I srec -O binary '" + srec + "' '" + back + "'").c_str()), 0);
  EXPECT_EQ(tessaro::ReadWholeFile(back).value_or(""), bytes.substr(0x20, 0x40));

  // ELF is not written: refused before the board is touched, and no file appears.
  const std::string elf = folder_ + "/read.elf";
  Result refused = Run("read" + target + " --start 10 --size 20 -o " + elf);
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_NE(refused.err.find("read writes S-record, Intel HEX or raw binary files, not ELF"), std::string::npos)
      << refused.err;
  EXPECT_FALSE(std::filesystem::exists(elf));
}

}  // namespace
