// The list of flash devices the loaded descriptions support, as an aligned text table or as
// semicolon-separated lines; every line ends in CR LF. Rows are sorted by type text, then
// manufacturer, then device name (byte-wise, case-sensitive); duplicates are listed too.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "definitions/DeviceCatalogue.h"

namespace tessaro {

// A table cell; an empty value is kept as no value and prints as an empty cell.
using CellValue = std::optional<std::string>;

// Output format of a table. The formatter writes into the text it is opened on.
class OutputFormatter {
 public:
  virtual ~OutputFormatter();
  virtual void OnClose() {}
  virtual void OnOpen() {}
  virtual void Title(std::string_view text, int level);
  virtual void Header(const std::vector<CellValue>& values, const std::vector<size_t>& widths);
  virtual void EndTable() {}
  virtual void Row(const std::vector<CellValue>& values, const std::vector<size_t>& widths);
  // Detaches the output (OnClose first when one is attached).
  virtual void Close();
  // Closes any previous output, attaches `out` and calls OnOpen when it is not null.
  virtual void Open(std::string* out);

 protected:
  void Write(std::string_view text);
  std::string* out_ = nullptr;
};

// The aligned text table: a title block, a header row with a rule of '=' under it, padded rows.
class TextOutput : public OutputFormatter {
 public:
  void Title(std::string_view text, int level) override;
  void Header(const std::vector<CellValue>& values, const std::vector<size_t>& widths) override;
  void Row(const std::vector<CellValue>& values, const std::vector<size_t>& widths) override;
};

// Semicolon-separated values, no title, no quoting or padding.
class CsvOutput : public OutputFormatter {
 public:
  void Header(const std::vector<CellValue>& values, const std::vector<size_t>& widths) override;
  void Row(const std::vector<CellValue>& values, const std::vector<size_t>& widths) override;
};

// Builds the device table and hands it to a formatter.
class DeviceEnumerator {
 public:
  explicit DeviceEnumerator(std::unique_ptr<OutputFormatter> formatter);
  virtual ~DeviceEnumerator();

  OutputFormatter& Formatter() { return *formatter_; }
  // Title, then one table of every entry: Type, Manufacturer, Device.
  void ListDevices(const EntryList& entries);
  // Writes the pending table, if any, and discards it.
  void FlushTable();

 private:
  void StartTable(std::vector<CellValue> header);
  void AddRow(std::vector<CellValue> row);

  std::unique_ptr<OutputFormatter> formatter_;
  bool pending_ = false;
  std::vector<size_t> widths_;
  std::vector<CellValue> header_;
  std::vector<std::vector<CellValue>> rows_;
};

// The exported bytes of the catalogue's device list.
std::string DeviceListText(const DeviceCatalogue& catalogue, bool csv);
// The file name an export is written under: the name as the user gave it, with the extension
// of the chosen format (".csv" or ".txt") added when it has none and put in place of the
// other format's extension; any other extension the user typed is kept.
std::string DeviceListFileName(const std::string& path, bool csv);
// Writes the device list to `path` (created or truncated). False when the file cannot be
// written; then nothing is written.
[[nodiscard]] bool ExportDeviceList(const DeviceCatalogue& catalogue, const std::string& path, bool csv);

}  // namespace tessaro
