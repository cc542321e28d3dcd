#include "AppTestMain.h"

#include <gtest/gtest.h>
#include <QSettings>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/LyrApp.h"

namespace tessaro::app::testing {
namespace {

namespace fs = std::filesystem;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    setenv("XDG_CONFIG_HOME", (TestHome() + "/user").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (TestHome() + "/machine").c_str(), 1);
    static int argc = 1;
    static char name[] = "test_app";
    static char* argv[] = {name, nullptr};
    application_ = new QApplication(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Corvane SA"));
    QApplication::setApplicationName(QString::fromLatin1(kApplicationName));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(TestHome() + "/user"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::SystemScope,
                       QString::fromStdString(TestHome() + "/machine"));
    InitAppResources();
  }
  void TearDown() override {
    delete application_;
    std::error_code ignored;
    fs::remove_all(TestHome(), ignored);
  }

 private:
  QApplication* application_ = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

void WriteFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

}  // namespace

const std::string& TestHome() {
  static const std::string home = [] {
    std::string pattern = (fs::temp_directory_path() / "tessaro-app-test-XXXXXX").string();
    return std::string(mkdtemp(pattern.data()));
  }();
  return home;
}

void ClearSettings() {
  std::error_code ignored;
  fs::remove_all(TestHome() + "/user", ignored);
  fs::remove_all(TestHome() + "/machine", ignored);
  QSettings().sync();  // drop what Qt cached of the removed file
}

void WriteUserSettings(const std::string& text) { WriteFile(TestHome() + "/user/Corvane SA/tessaro.conf", text); }
void WriteMachineSettings(const std::string& text) { WriteFile(TestHome() + "/machine/Corvane SA/Tessaro.conf", text); }

}  // namespace tessaro::app::testing
