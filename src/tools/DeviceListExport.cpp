#include "tools/DeviceListExport.h"

#include <algorithm>

#include "common/Text.h"
#include "platform/Files.h"

namespace tessaro {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

std::string_view CellText(const CellValue& value) { return value ? std::string_view(*value) : std::string_view(); }

// Cells compare byte-wise as unsigned characters, case-sensitive; no value is below any value.
int CompareCells(const CellValue& a, const CellValue& b) {
  if (!a || !b) return a ? 1 : (b ? -1 : 0);
  return a->compare(*b) < 0 ? -1 : (a->compare(*b) > 0 ? 1 : 0);
}

int CompareRows(const std::vector<CellValue>& a, const std::vector<CellValue>& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (int order = CompareCells(a[i], b[i]); order != 0) return order;
  }
  return 0;
}

CellValue Cell(std::string_view text) {
  if (text.empty()) return std::nullopt;
  return std::string(text);
}

}  // namespace

OutputFormatter::~OutputFormatter() = default;

void OutputFormatter::Title(std::string_view, int) {}
void OutputFormatter::Header(const std::vector<CellValue>&, const std::vector<size_t>&) {}
void OutputFormatter::Row(const std::vector<CellValue>&, const std::vector<size_t>&) {}

void OutputFormatter::Close() {
  if (!out_) return;
  OnClose();
  out_ = nullptr;
}

void OutputFormatter::Open(std::string* out) {
  Close();
  out_ = out;
  if (out_) OnOpen();
}

void OutputFormatter::Write(std::string_view text) {
  if (out_) out_->append(text);
}

void TextOutput::Title(std::string_view text, int) {
  Write(text);
  Write(kLineEnd);
  Write(std::string(text.size(), '='));
  Write(kLineEnd);
  Write(kLineEnd);
}

void TextOutput::Header(const std::vector<CellValue>& values, const std::vector<size_t>& widths) {
  Row(values, widths);
  size_t rule = 0;
  for (size_t width : widths) rule += width + 2;
  Write(std::string(rule, '='));
  Write(kLineEnd);
}

void TextOutput::Row(const std::vector<CellValue>& values, const std::vector<size_t>& widths) {
  std::string line;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += '|';
    std::string_view text = CellText(values[i]);
    size_t width = i < widths.size() ? widths[i] : 0;
    line += ' ';
    line += text;
    if (text.size() < width) line.append(width - text.size(), ' ');
    line += ' ';
  }
  Write(line);
  Write(kLineEnd);
}

void CsvOutput::Header(const std::vector<CellValue>& values, const std::vector<size_t>& widths) { Row(values, widths); }

void CsvOutput::Row(const std::vector<CellValue>& values, const std::vector<size_t>&) {
  std::string line;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) line += ';';
    line += CellText(values[i]);
  }
  Write(line);
  Write(kLineEnd);
}

DeviceEnumerator::DeviceEnumerator(std::unique_ptr<OutputFormatter> formatter) : formatter_(std::move(formatter)) {}

DeviceEnumerator::~DeviceEnumerator() = default;

void DeviceEnumerator::StartTable(std::vector<CellValue> header) {
  widths_.clear();
  for (const CellValue& value : header) widths_.push_back(CellText(value).size());
  header_ = std::move(header);
  rows_.clear();
  pending_ = true;
}

void DeviceEnumerator::AddRow(std::vector<CellValue> row) {
  for (size_t i = 0; i < row.size() && i < widths_.size(); ++i) {
    widths_[i] = std::max(widths_[i], CellText(row[i]).size());
  }
  // Before the first row that compares greater, so equal rows keep their order.
  auto position = std::upper_bound(rows_.begin(), rows_.end(), row,
                                   [](const std::vector<CellValue>& value, const std::vector<CellValue>& existing) {
                                     return CompareRows(value, existing) < 0;
                                   });
  rows_.insert(position, std::move(row));
}

void DeviceEnumerator::FlushTable() {
  if (!pending_) return;
  formatter_->Header(header_, widths_);
  for (const auto& row : rows_) formatter_->Row(row, widths_);
  formatter_->EndTable();
  pending_ = false;
  header_.clear();
  rows_.clear();
  widths_.clear();
}

void DeviceEnumerator::ListDevices(const EntryList& entries) {
  formatter_->Title("Available Device Drivers", 1);
  FlushTable();
  StartTable({Cell("Type"), Cell("Manufacturer"), Cell("Device")});
  for (const auto& entry : entries) {
    std::string_view manufacturer = entry->manufacturer ? std::string_view(entry->manufacturer->DisplayName()) : "";
    AddRow({Cell(FamilyText(entry->family)), Cell(manufacturer), Cell(entry->name)});
  }
  FlushTable();
}

std::string DeviceListText(const DeviceCatalogue& catalogue, bool csv) {
  std::string text;
  std::unique_ptr<OutputFormatter> formatter;
  if (csv) {
    formatter = std::make_unique<CsvOutput>();
  } else {
    formatter = std::make_unique<TextOutput>();
  }
  DeviceEnumerator enumerator(std::move(formatter));
  enumerator.Formatter().Open(&text);
  enumerator.ListDevices(catalogue.Entries());
  enumerator.Formatter().Close();
  return text;
}

std::string DeviceListFileName(const std::string& path, bool csv) {
  const std::string wanted = csv ? "csv" : "txt";
  const std::string other = csv ? "txt" : "csv";
  const std::string extension = ExtensionOf(path);
  if (extension.empty()) {
    // "name." has an empty extension too: the dot is kept once.
    return path + (!path.empty() && path.back() == '.' ? "" : ".") + wanted;
  }
  if (EqualsNoCase(extension, other)) return path.substr(0, path.size() - extension.size()) + wanted;
  return path;
}

bool ExportDeviceList(const DeviceCatalogue& catalogue, const std::string& path, bool csv) {
  return WriteWholeFile(path, DeviceListText(catalogue, csv));
}

}  // namespace tessaro
