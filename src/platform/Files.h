// File and folder seams: whole-file reads, folder listing by extension (ignoring case, as a
// Windows wildcard search does), text writes, and the program's own folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro {

// The whole file as bytes; nullopt when it cannot be opened or read.
std::optional<std::string> ReadWholeFile(const std::string& path);
// Writes (replaces) the file; false when it cannot be written completely.
[[nodiscard]] bool WriteWholeFile(const std::string& path, std::string_view bytes);

// Names (not paths) of the regular files in `folder` whose name ends in "." + extension,
// ignoring case, sorted by name byte-wise so every run sees the same order.
std::vector<std::string> ListFolder(const std::string& folder, std::string_view extension);

// `folder` joined with `name`, adding a '/' only when the folder does not end in one.
std::string JoinPath(std::string_view folder, std::string_view name);
// The folder with exactly one trailing '/' (an empty text becomes "/").
std::string WithTrailingSeparator(std::string_view folder);
// The last path component.
std::string BaseName(std::string_view path);
// Everything up to and including the last '/', or "" when there is none.
std::string FolderOf(std::string_view path);
// The extension without the dot, or "" when the last component has none.
std::string ExtensionOf(std::string_view path);

bool IsDirectory(const std::string& path);
bool FileExists(const std::string& path);

// The folder of the running executable, ending in '/'.
std::string ProgramFolder();

}  // namespace tessaro
