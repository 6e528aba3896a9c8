// A next hop for delivery's tests whose answers the test chooses by
// recipient, so that every branch of delivery meets a real SMTP server over
// a real socket: "defer-N@..." is refused with 450 in the first N
// transactions that name it, "refuse@..." always with 550, anyone else is
// taken. It keeps every message it took, and can stop listening and listen
// again on its port, as a next hop that goes down and comes back.
#pragma once

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vt::e2e {

class ScriptedNextHop {
 public:
  struct Received {
    std::string reversePath;
    std::vector<std::string> recipients;
    std::string data;  // dots taken off, CRLFs kept
  };

  ScriptedNextHop();
  ~ScriptedNextHop();
  ScriptedNextHop(const ScriptedNextHop&) = delete;
  ScriptedNextHop& operator=(const ScriptedNextHop&) = delete;

  int port() const { return port_; }
  // Connections to the port are refused until Listen(), and those open
  // are cut.
  void Close();
  bool Listen();

  std::vector<Received> received() const;
  // Messages taken for that recipient.
  int CountFor(const std::string& recipient) const;

 private:
  void AcceptLoop();
  void Serve(int fd);
  // 250, 450 or 550 for a recipient, by its name and how often it came.
  std::string Judge(const std::string& recipient);

  int port_ = 0;
  std::atomic<int> listenFd_{-1};
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::thread> connections_;
  std::vector<int> open_;  // the connections being served
  std::vector<Received> received_;
  std::map<std::string, int> named_;
  int taken_ = 0;
};

}  // namespace vt::e2e
