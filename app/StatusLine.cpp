#include "app/StatusLine.h"

#include <QColor>
#include <QLineEdit>
#include <QPalette>
#include <QStyle>
#include <iterator>

namespace tessaro::app {

void ShowColouredStatus(QLineEdit& line, const QString& text, int colourClass) {
  // Legend: base colour and text colour of each class; class 0 keeps the style's colours.
  struct Colours {
    QColor base;
    QColor text;
  };
  static const Colours kColours[] = {
      {QColor(), QColor()},
      {QColor(0, 255, 0), QColor(0, 0, 0)},
      {QColor(255, 255, 0), QColor(0, 0, 0)},
      {QColor(255, 0, 0), QColor(255, 255, 0)},
  };
  QPalette palette = line.style()->standardPalette();
  if (colourClass > 0 && colourClass < static_cast<int>(std::size(kColours))) {
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
      palette.setColor(group, QPalette::Base, kColours[colourClass].base);
      palette.setColor(group, QPalette::Window, kColours[colourClass].base);
      palette.setColor(group, QPalette::Text, kColours[colourClass].text);
    }
  }
  line.setPalette(palette);
  line.setText(text);
  line.repaint();
}

}  // namespace tessaro::app
