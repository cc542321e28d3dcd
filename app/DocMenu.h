// The "Documentation..." submenu of the window's command menu, built from the doc folder.
#pragma once
#include <QMenu>
#include <string>

namespace tessaro::app {

// Appends the submenu when the folder holds documents; true when it did. Picking an item
// opens the document with the desktop's default viewer.
bool AddDocumentationMenu(QMenu& menu, const std::string& folder);

}  // namespace tessaro::app
