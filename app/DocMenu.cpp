#include "app/DocMenu.h"

#include <QDesktopServices>
#include <QUrl>
#include <memory>

#include "app/DocList.h"

namespace tessaro::app {
namespace {

bool Fill(QMenu& menu, const std::vector<DocEntry>& entries, const std::shared_ptr<DocList>& list) {
  bool any = false;
  for (const DocEntry& entry : entries) {
    const QString text = QString::fromLocal8Bit(DocMenuText(entry).c_str());
    if (entry.command == 0) {
      auto* sub = new QMenu(text, &menu);
      if (Fill(*sub, entry.children, list)) {
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
    QObject::connect(action, &QAction::triggered, &menu, [list, command] {
      if (auto path = DocumentPath(*list, command)) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromLocal8Bit(path->c_str())));
      }
    });
    any = true;
  }
  return any;
}

}  // namespace

bool AddDocumentationMenu(QMenu& menu, const std::string& folder) {
  auto list = std::make_shared<DocList>(ScanDocumentation(folder));
  auto* sub = new QMenu(QStringLiteral("Documentation..."), &menu);
  sub->setObjectName(QStringLiteral("documentation"));
  if (!Fill(*sub, list->entries, list)) {
    delete sub;
    return false;
  }
  menu.addMenu(sub);
  return true;
}

}  // namespace tessaro::app
