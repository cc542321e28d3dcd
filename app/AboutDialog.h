// The about box: product line with the program's version, and the debug interface's
// revision when one answered.
#pragma once
#include <QDialog>
#include <string>

namespace tessaro::app {

class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(const std::string& extraLine, QWidget* parent = nullptr);
};

}  // namespace tessaro::app
