#include "app/DocMenu.h"

#include <QDesktopServices>
#include <QUrl>
#include <memory>

#include "app/DocList.h"

namespace tessaro::app {
namespace {

DesktopOpener& Opener() {
  static DesktopOpener opener;
  return opener;
}

bool Fill(QMenu& menu, const std::vector<DocEntry>& entries, const std::shared_ptr<DocList>& list, PromptIf& prompt) {
  bool any = false;
  for (const DocEntry& entry : entries) {
    const QString text = QString::fromLocal8Bit(DocMenuText(entry).c_str());
    if (entry.command == 0) {
      auto* sub = new QMenu(text, &menu);
      if (Fill(*sub, entry.children, list, prompt)) {
        menu.addMenu(sub);
        any = true;
      } else {
        delete sub;
      }
      continue;
    }
    if (entry.command > kLastDocCommand) continue;
    QAction* action = menu.addAction(text);
    action->setObjectName(QString::number(entry.command));
    const int command = entry.command;
    QObject::connect(action, &QAction::triggered, &menu, [list, command, &prompt] {
      if (auto path = DocumentPath(*list, command)) {
        OpenWithDesktop(QUrl::fromLocalFile(QString::fromLocal8Bit(path->c_str())), prompt);
      }
    });
    any = true;
  }
  return any;
}

}  // namespace

void SetDesktopOpener(DesktopOpener opener) { Opener() = std::move(opener); }

void OpenWithDesktop(const QUrl& url, PromptIf& prompt) {
  const bool opened = Opener() ? Opener()(url) : QDesktopServices::openUrl(url);
  if (opened) return;
  const QString name = url.isLocalFile() ? url.toLocalFile() : url.toString();
  const std::string what = url.isLocalFile() ? "the document " : "the web page ";
  (void)prompt.Ask("No viewer could open " + what + name.toLocal8Bit().toStdString() + ".", "Tessaro",
                   PromptButtons::Ok);
}

bool AddDocumentationMenu(QMenu& menu, const std::string& folder, PromptIf& prompt) {
  auto list = std::make_shared<DocList>(ScanDocumentation(folder));
  auto* sub = new QMenu(QStringLiteral("Documentation..."), &menu);
  sub->setObjectName(QStringLiteral("documentation"));
  if (!Fill(*sub, list->entries, list, prompt)) {
    delete sub;
    return false;
  }
  menu.addMenu(sub);
  return true;
}

}  // namespace tessaro::app
