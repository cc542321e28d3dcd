// Start-up and exit of the desktop program: the folders, the board list, the user's last
// settings (QSettings, organisation "Corvane SA", group "Settings"), the main window run
// modally, and the settings written back when it closes.
#pragma once
#include <QSettings>
#include <string>
#include "app/AppPorts.h"
#include "app/FlashWindow.h"
#include "definitions/BoardDefinition.h"
#include "link/SerialPort.h"
#include "platform/Prompt.h"

namespace tessaro::app {

inline constexpr const char* kApplicationName = "tessaro";

// Reads what the window starts with. Loads the boards of the config folder into `boards`;
// the problems found go into `boardErrors` (empty when there were none), which start-up shows
// in the "Board Definition" box.
WindowSetup ReadStartup(QSettings& user, const std::string& programFolder, BoardList& boards, std::string& boardErrors);

// Writes "Board" (when one is selected), "COM", "driverfolder", "DoubleBaud" and "Config"
// (when the configuration names a chip) from the closed window.
void WriteExitSettings(QSettings& user, const CFlash& window);

// The whole program: start-up, the window, the settings at exit. Returns the exit code.
int RunTessaro(PromptIf& prompt, const std::string& programFolder);

// The window icon and other compiled-in resources.
void InitAppResources();

}  // namespace tessaro::app
