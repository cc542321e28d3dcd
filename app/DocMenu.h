// The "Documentation..." submenu of the window's command menu, built from the doc folder, and
// the opening of documents and web pages with the desktop's viewers.
#pragma once
#include <QMenu>
#include <QUrl>
#include <functional>
#include <string>
#include "platform/Prompt.h"

namespace tessaro::app {

// Appends the submenu when the folder holds documents; true when it did. Picking an item
// opens the document with the desktop's default viewer.
bool AddDocumentationMenu(QMenu& menu, const std::string& folder, PromptIf& prompt);

// Opens a document or web page with the desktop's viewer; when none can, says so through the
// prompt, naming the file or address.
void OpenWithDesktop(const QUrl& url, PromptIf& prompt);

// What opens them: the desktop's services unless replaced (an empty function restores them).
using DesktopOpener = std::function<bool(const QUrl&)>;
void SetDesktopOpener(DesktopOpener opener);

}  // namespace tessaro::app
