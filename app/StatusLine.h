// The coloured status lines of the window and of the eFuse dialog: one colour table, so both
// show a result the same way.
#pragma once
#include <QString>

class QLineEdit;

namespace tessaro::app {

// Shows `text` in `line` with the colours of `colourClass` (0 normal, 1 black on green,
// 2 black on yellow, 3 yellow on red) and paints it at once: an action keeps the thread.
void ShowColouredStatus(QLineEdit& line, const QString& text, int colourClass);

}  // namespace tessaro::app
