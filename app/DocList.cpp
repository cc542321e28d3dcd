#include "app/DocList.h"

#include <dirent.h>
#include <algorithm>

#include "common/Text.h"
#include "platform/Files.h"

namespace tessaro::app {
namespace {

// A key's literal string value "(...)" of printable bytes between `from` and the body's end.
std::optional<std::string> LiteralValue(std::string_view body, size_t from) {
  const size_t close = body.find(')', from);
  if (close == std::string_view::npos) return std::nullopt;
  const size_t open = body.substr(0, close).find('(', from);
  if (open == std::string_view::npos) return std::nullopt;
  const std::string_view value = body.substr(open + 1, close - open - 1);
  for (unsigned char c : value) {
    if (c < 0x20) return std::nullopt;
  }
  return std::string(value);
}

// A key's hexadecimal string "<FEFF....>" of printable UTF-16BE characters.
std::optional<std::string> HexValue(std::string_view body, size_t from) {
  const size_t close = body.find('>', from);
  if (close == std::string_view::npos) return std::nullopt;
  const size_t open = body.substr(0, close).find('<', from);
  if (open == std::string_view::npos) return std::nullopt;
  const std::string_view digits = body.substr(open + 1, close - open - 1);
  if (digits.size() < 4 || digits.substr(0, 4) != "FEFF" || digits.size() % 4 != 0) return std::nullopt;
  std::string value;
  for (size_t i = 4; i < digits.size(); i += 4) {
    int code = 0;
    for (size_t k = 0; k < 4; ++k) {
      const int digit = HexDigitValue(digits[i + k]);
      if (digit < 0) return std::nullopt;
      code = code * 16 + digit;
    }
    if (code < 32 || code > 126) return std::nullopt;
    value.push_back(static_cast<char>(code));
  }
  return value;
}

std::optional<std::string> KeyValue(std::string_view body, std::string_view key) {
  for (size_t slash = body.find('/'); slash != std::string_view::npos; slash = body.find('/', slash + 1)) {
    if (!StartsWithNoCase(body.substr(slash + 1), key)) continue;
    const size_t after = slash + 1 + key.size();
    if (auto value = LiteralValue(body, after)) return value;
    if (auto value = HexValue(body, after)) return value;
  }
  return std::nullopt;
}

bool TitleBefore(const std::string& a, const std::string& b) { return a.compare(b) < 0; }

// Inserts a document after every entry whose title does not compare greater, marking equal
// titles as duplicates.
void InsertDocument(std::vector<DocEntry>& entries, DocEntry entry) {
  size_t at = entries.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].title == entry.title) {
      entries[i].duplicate = true;
      entry.duplicate = true;
    }
    if (TitleBefore(entry.title, entries[i].title)) {
      at = i;
      break;
    }
  }
  entries.insert(entries.begin() + static_cast<std::ptrdiff_t>(at), std::move(entry));
}

std::vector<std::string> SubFolders(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* item = ::readdir(dir)) {
      const std::string name = item->d_name;
      if (!name.empty() && name[0] != '.' && IsDirectory(folder + name)) names.push_back(name);
    }
    ::closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

const DocEntry* FindCommand(const std::vector<DocEntry>& entries, int command, std::vector<const DocEntry*>& chain) {
  for (const DocEntry& entry : entries) {
    chain.push_back(&entry);
    if (entry.command == command && command != 0) return &entry;
    if (const DocEntry* found = FindCommand(entry.children, command, chain)) return found;
    chain.pop_back();
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> PdfTitle(std::string_view bytes) {
  for (size_t open = bytes.find("<<"); open != std::string_view::npos; open = bytes.find("<<", open + 2)) {
    const size_t start = open + 2;
    size_t end = bytes.find(">>", start);
    if (end == std::string_view::npos) {
      if (!bytes.empty() && bytes.back() == '>')
        end = bytes.size() - 1;
      else
        continue;
    }
    const std::string_view body = bytes.substr(start, end - start);
    if (!KeyValue(body, "Author")) continue;
    if (auto title = KeyValue(body, "Title")) return title;
  }
  return std::nullopt;
}

std::optional<std::string> ReadPdfTitle(const std::string& path) {
  const auto bytes = ReadWholeFile(path);
  if (!bytes) return std::nullopt;
  return PdfTitle(*bytes);
}

bool ScanDocFolder(const std::string& folder, std::vector<DocEntry>& entries, int& counter) {
  for (const std::string& name : ListFolder(folder, "pdf")) {
    DocEntry entry;
    entry.file = name;
    auto title = ReadPdfTitle(folder + name);
    entry.title = title ? *title : name + " (protected?)";
    entry.command = counter++;
    InsertDocument(entries, std::move(entry));
  }
  for (const std::string& name : ListFolder(folder, "chm")) {
    DocEntry entry;
    entry.file = name;
    const size_t dot = name.rfind('.');
    entry.title = dot == std::string::npos ? name : name.substr(0, dot);
    entry.command = counter++;
    InsertDocument(entries, std::move(entry));
  }
  for (const std::string& name : SubFolders(folder)) {
    DocEntry sub;
    sub.title = name;
    sub.file = name;
    if (!ScanDocFolder(folder + name + "/", sub.children, counter)) continue;
    auto at = std::find_if(entries.begin(), entries.end(), [&](const DocEntry& entry) {
      return entry.command == 0 && TitleBefore(sub.title, entry.title);
    });
    entries.insert(at, std::move(sub));
  }
  return !entries.empty();
}

DocList ScanDocumentation(const std::string& folder) {
  DocList list;
  list.folder = WithTrailingSeparator(folder);
  int counter = kFirstDocCommand;
  if (IsDirectory(list.folder)) (void)ScanDocFolder(list.folder, list.entries, counter);
  return list;
}

std::string DocMenuText(const DocEntry& entry) {
  std::string text = entry.title;
  if (entry.duplicate) text += " (" + entry.file + ")";
  std::string out;
  for (char c : text) {
    out.push_back(c);
    if (c == '&') out.push_back('&');  // a single '&' would mark a menu shortcut
  }
  return out;
}

std::optional<std::string> DocumentPath(const DocList& list, int command) {
  std::vector<const DocEntry*> chain;
  if (!FindCommand(list.entries, command, chain)) return std::nullopt;
  std::string path = list.folder;
  for (size_t i = 0; i < chain.size(); ++i) path += (i ? "/" : "") + chain[i]->file;
  return path;
}

}  // namespace tessaro::app
