// Dialog layouts are given in dialog units, as the dialogs of this program were first drawn:
// a horizontal unit is a quarter of the font's average character width, a vertical unit an
// eighth of its height. Building geometry from them keeps every control where it was meant
// to be whatever font the desktop uses.
#pragma once
#include <QFontMetrics>
#include <QRect>
#include <QSize>
#include <QWidget>

namespace tessaro::app {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    charWidth_ = (metrics.horizontalAdvance(alphabet) + 26) / 52;  // rounded, as Windows does
    charHeight_ = metrics.height();
  }
  int X(int units) const { return units * charWidth_ / 4; }
  int Y(int units) const { return units * charHeight_ / 8; }
  QRect Rect(int x, int y, int width, int height) const { return QRect(X(x), Y(y), X(width), Y(height)); }
  QSize Size(int width, int height) const { return QSize(X(width), Y(height)); }
  // Places a control and names it by its id, so tests and tools find it.
  template <typename Widget>
  Widget* Place(Widget* widget, const char* id, int x, int y, int width, int height) const {
    if (id) widget->setObjectName(QString::fromLatin1(id));
    widget->setGeometry(Rect(x, y, width, height));
    return widget;
  }

 private:
  int charWidth_ = 6;
  int charHeight_ = 13;
};

}  // namespace tessaro::app
