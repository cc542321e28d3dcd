// tessaro-sim: a simulated LYR board served on a pseudo-terminal. The first line of output is
// "pty: PATH"; open PATH as the COM port. Serves until SIGTERM or SIGINT, then writes the
// --state file and the --dump-memory regions.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "sim/BoardDevices.h"
#include "sim/BoardState.h"
#include "sim/SimBoard.h"
#include "sim/SimPty.h"

using namespace tessaro::sim;

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const auto& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::printf("%s", SimOptionsHelp().c_str());
      return 0;
    }
  }
  SimOptions options;
  std::string error;
  if (!ParseSimOptions(args, options, error)) {
    std::fprintf(stderr, "tessaro-sim: %s\n(tessaro-sim --help lists the options)\n", error.c_str());
    return 2;
  }
  auto board = SimBoard::Create(options, &error);
  if (!board) {
    std::fprintf(stderr, "tessaro-sim: %s\n", error.c_str());
    return 2;
  }
  if (const auto devices = board->Devices())
    for (const std::string& note : devices->notes) std::fprintf(stderr, "tessaro-sim: %s\n", note.c_str());
  // What a correct host never does goes to the log as it happens (and to --stats at the end).
  board->SetViolationLog(
      [](const std::string& text) { std::fprintf(stderr, "tessaro-sim: violation: %s\n", text.c_str()); });
  // Armed faults are listed at the start and logged again when they strike, so a failing run of
  // a fault soak can be read back from its log and replayed with the same options.
  board->SetFaultLog([](const std::string& text) { std::fprintf(stderr, "tessaro-sim: fault: %s\n", text.c_str()); });

  // Block the stop signals before any thread starts, then wait for one of them here.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  auto server = SimPtyServer::Start(board, error);
  if (!server) {
    std::fprintf(stderr, "tessaro-sim: %s\n", error.c_str());
    return 1;
  }
  std::printf("pty: %s\n", server->path().c_str());
  std::fflush(stdout);
  std::fprintf(stderr, "tessaro-sim: %s, %s interface; stop with Ctrl-C\n", board->chip()->name,
               options.usbInterface ? "USB" : "no");
  for (const std::string& fault : DescribeFaults(options))
    std::fprintf(stderr, "tessaro-sim: armed fault: %s\n", fault.c_str());
  if (board->chip()->legacyLink && !options.usbInterface)
    std::fprintf(stderr,
                 "tessaro-sim: the %s answers only over the modem-line handshake, which a pseudo-terminal "
                 "cannot carry; add --interface=usb\n",
                 board->chip()->name);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  server->Stop();
  int status = 0;
  for (const std::string& message : EndBoard(*board)) {
    std::fprintf(stderr, "tessaro-sim: %s\n", message.c_str());
    status = 1;
  }
  return status;
}
