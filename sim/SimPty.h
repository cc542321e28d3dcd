// The pseudo-terminal transport of the simulated board: the board answers on the master side;
// programs open the slave path like any serial device. Modem lines do not cross a
// pseudo-terminal, so the 73xx handshake link needs the in-process transport or the USB
// interface in front of the chip.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "sim/SimBoard.h"

namespace tessaro::sim {

class SimPtyServer {
 public:
  // Creates the pseudo-terminal and starts serving; null with a message on failure.
  static std::unique_ptr<SimPtyServer> Start(std::shared_ptr<SimBoard> board, std::string& error);
  ~SimPtyServer();
  SimPtyServer(const SimPtyServer&) = delete;
  SimPtyServer& operator=(const SimPtyServer&) = delete;

  // The slave side's path, e.g. /dev/pts/7.
  const std::string& path() const { return path_; }
  void Stop();
  // The board's USB interface was unplugged: the pseudo-terminal is closed and its path gone.
  bool gone() const { return gone_.load(); }

 private:
  SimPtyServer(std::shared_ptr<SimBoard> board, int master, int slave, int wake, std::string path);
  void Serve();
  void FollowLineSpeed();
  void ClosePair();

  std::shared_ptr<SimBoard> board_;
  int master_ = -1;
  int slave_ = -1;
  int wake_ = -1;
  std::string path_;
  UartFormat lastLine_{0, 8, 'N', 1};
  std::atomic<bool> stop_{false};
  std::atomic<bool> gone_{false};
  std::thread thread_;
};

}  // namespace tessaro::sim
