// The documentation tree of the "doc" folder beside the program: PDF files (listed by the
// title their info dictionary gives), compiled-help files and subfolders, numbered as menu
// commands from 12001 in scan order. Plain C++, so the tests read it without a window.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::app {

inline constexpr int kFirstDocCommand = 12001;
inline constexpr int kLastDocCommand = 12999;

struct DocEntry {
  std::string title;
  std::string file;        // name without path
  int command = 0;         // 0 for a folder
  bool duplicate = false;  // another document of the same list has the same title
  std::vector<DocEntry> children;
};

struct DocList {
  std::string folder;  // ends with '/'
  std::vector<DocEntry> entries;
};

// The title of a PDF from a dictionary that holds both /Author and /Title, as a literal or a
// UTF-16BE hexadecimal string of printable characters; nullopt when none is found.
std::optional<std::string> PdfTitle(std::string_view bytes);
std::optional<std::string> ReadPdfTitle(const std::string& path);

// Scans `folder` (ending with '/') into `entries`; true when the list is not empty.
bool ScanDocFolder(const std::string& folder, std::vector<DocEntry>& entries, int& counter);
DocList ScanDocumentation(const std::string& folder);

// The menu text of an entry: title, " (file)" for duplicates, every "&" doubled.
std::string DocMenuText(const DocEntry& entry);

// The path of the document with that command below the list's folder, or nullopt.
std::optional<std::string> DocumentPath(const DocList& list, int command);

}  // namespace tessaro::app
