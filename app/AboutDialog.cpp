#include "app/AboutDialog.h"

#include <QLabel>
#include <QPushButton>

#include "app/DialogUnits.h"
#include "definitions/DefinitionReader.h"

namespace tessaro::app {

AboutDialog::AboutDialog(const std::string& extraLine, QWidget* parent) : QDialog(parent) {
  setWindowTitle(QStringLiteral("About Tessaro"));
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  const DialogUnits du(font());
  setFixedSize(du.Size(200, 64));
  auto* icon = du.Place(new QLabel(this), nullptr, 8, 8, 20, 20);
  icon->setPixmap(QIcon(QStringLiteral(":/tessaro.png")).pixmap(du.Size(20, 20)));
  du.Place(new QLabel(QString::fromStdString("Tessaro  " + ProgramVersionText()), this), "9002", 36, 10, 156, 8);
  auto* extra = du.Place(new QLabel(QString::fromStdString(extraLine), this), "9001", 36, 24, 156, 8);
  extra->setVisible(!extraLine.empty());
  auto* ok = du.Place(new QPushButton(QStringLiteral("OK"), this), "1", 144, 44, 48, 14);
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace tessaro::app
