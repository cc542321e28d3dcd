// tessaro: the desktop device programmer.
#include <QApplication>

#include "app/AppPrompt.h"
#include "app/LyrApp.h"
#include "platform/Files.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("Corvane SA"));
  QApplication::setApplicationName(QString::fromLatin1(tessaro::app::kApplicationName));
  tessaro::app::QtPrompt prompt;
  return tessaro::app::RunTessaro(prompt, tessaro::ProgramFolder());
}
