// What the window and eFuse tests share: a program folder of their own, image files, controls
// found by their id, files dropped on a window, and a window built as start-up builds it.
#pragma once
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QSettings>
#include <QUrl>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AppTestMain.h"
#include "app/AppPorts.h"
#include "app/FlashWindow.h"
#include "app/LyrApp.h"
#include "flash/DriverImage.h"

namespace tessaro::app::testing {

inline const std::string kRepoConfig = std::string(TESSARO_SOURCE_DIR) + "/config";
inline const std::string kRepoDrivers = std::string(TESSARO_SOURCE_DIR) + "/drivers";

// A program folder of its own: config/ holds the given board files (or the demo boards),
// drivers/ is the project's description folder.
inline std::string MakeProgramFolder(const std::string& name,
                                     const std::vector<std::pair<std::string, std::string>>& boards) {
  const std::string folder = TestHome() + "/" + name + "/";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder + "config");
  std::filesystem::create_directory_symlink(kRepoDrivers, folder + "drivers");
  if (boards.empty()) {
    for (const auto& file : std::filesystem::directory_iterator(kRepoConfig)) {
      std::filesystem::copy(file.path(), folder + "config/" + file.path().filename().string());
    }
  }
  for (const auto& [file, text] : boards) std::ofstream(folder + "config/" + file) << text;
  return folder;
}

inline std::string WriteImage(const std::string& name, const std::vector<uint16_t>& words) {
  const std::string path = TestHome() + "/" + name;
  std::ofstream out(path, std::ios::binary);
  for (uint16_t word : words) {
    out.put(static_cast<char>(word & 0xFF));
    out.put(static_cast<char>(word >> 8));
  }
  return path;
}

inline std::vector<uint16_t> Pattern(size_t count) {
  std::vector<uint16_t> words(count);
  for (size_t i = 0; i < count; ++i) words[i] = static_cast<uint16_t>(i * 7 + 0x1234);
  return words;
}

template <typename Widget>
Widget* Control(QWidget& window, const char* id) {
  auto* widget = window.findChild<Widget*>(QString::fromLatin1(id));
  EXPECT_NE(widget, nullptr) << id;
  return widget;
}

inline QStringList Items(QComboBox* box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items << box->itemText(i);
  return items;
}

inline void Drop(QWidget& window, const QStringList& paths) {
  auto* data = new QMimeData;
  QList<QUrl> urls;
  for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
  data->setUrls(urls);
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &enter);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(&window, &drop);
  delete data;
}

// Lets the program's events run until `done` holds; false after 10 s.
template <typename Condition>
bool RunEventsUntil(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

// A port watch of the test's own on `ports`: the returned source stays owned by `ports`.
inline FakePortWatchSource& WatchFakePorts(AppPorts& ports, std::vector<SerialDevice> present) {
  auto owned = std::make_unique<FakePortWatchSource>(std::move(present));
  FakePortWatchSource& source = *owned;
  std::string error;
  EXPECT_TRUE(ports.StartWatch(std::move(owned), error)) << error;
  return source;
}

// One window as start-up builds it, over the settings and program folder of the test.
struct WindowRig {
  explicit WindowRig(const std::string& programFolder) {
    QSettings user;
    setup = ReadStartup(user, programFolder, boards, boardErrors);
    SetDriverImageFolder(setup.driversFolder);
    window = std::make_unique<CFlash>(link, boards, prompt, ports, setup);
  }
  void SelectBoard(const std::string& name) {
    auto* box = Control<QComboBox>(*window, "1001");
    const int index = box->findText(QString::fromStdString(name));
    ASSERT_GE(index, 0) << name;
    box->setCurrentIndex(index);
    window->OnBoardChanged();
  }
  ScriptedPrompt prompt;
  SerialPort link;
  AppPorts ports;
  BoardList boards;
  std::string boardErrors;
  WindowSetup setup;
  std::unique_ptr<CFlash> window;
};

}  // namespace tessaro::app::testing
