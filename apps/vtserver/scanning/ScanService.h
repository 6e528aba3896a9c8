// The scanner service: the product's scanner on real engines. Each round it
// looks for messages of the scan boxes without a verdict, hands up to
// `concurrency` of them at once to worker threads that ask every configured
// engine, and saves each verdict with its evidence in one update, from this
// thread alone (the store is not shared across threads).
//
// When an engine fails:
//   - unreachable, or failing on kEngineDownAfter different messages in a
//     row (slow, or refusing everything): the engine is down, which is
//     logged once when it starts and once when it ends; the messages wait
//     (the router's timed release of unscanned mail is the fail-open), and
//     one message every few seconds asks whether the engine is back;
//   - otherwise a failure is the message's (a refusal, an answer that is not
//     the protocol's, a time-out, rspamd asking again and again): the
//     message is tried again after retryAfter (twice as long each time),
//     and after maxFailures it is given failedRoute, with a log line;
//   - larger than maxBytes, or than an engine takes: oversizeRoute at once,
//     with a log line. It never loops.
// The failures are counted in memory: after a restart a message gets
// maxFailures tries again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "datadir/Outcome.h"
#include "scanner/EngineSet.h"
#include "scanner/ScannerStatus.h"
#include "scanner/Verdict.h"
#include "scanning/ScanBoxes.h"
#include "server/LocalNotesServices.h"

namespace vt::tool {

struct ScanPolicy {
  scanner::VerdictPolicy verdicts;
  size_t concurrency = 8;
  size_t maxBytes = 10 * 1024 * 1024;
  scanner::Route oversizeRoute = scanner::Route::kM;
  int maxFailures = 3;
  std::chrono::milliseconds retryAfter{5000};
  scanner::Route failedRoute = scanner::Route::kM;
  // How often the scan boxes are looked at while nothing is in flight.
  std::chrono::milliseconds poll{500};
  // How often the configuration is read again for the scan boxes' names.
  std::chrono::seconds refresh{10};
};

class ScanService {
 public:
  ScanService(LocalNotesServices& server, const scanner::EngineSet& engines,
              ScanPolicy policy);
  ~ScanService();
  ScanService(const ScanService&) = delete;
  ScanService& operator=(const ScanService&) = delete;

  // Runs until stop() says so (asked a few times a second), then lets the
  // scans in flight end and saves their verdicts. show() is given the
  // counts whenever they change.
  Outcome Run(const std::function<bool()>& stop,
              const std::function<void(const scanner::ScannerCounts&)>& show);

  const scanner::ScannerCounts& counts() const { return counts_; }

 private:
  using Clock = std::chrono::steady_clock;
  struct Job {
    PendingMessage at;
    std::string queueId;
    scanner::ScanRequest request;
    Clock::time_point started;
  };
  struct Done {
    Job job;
    std::vector<scanner::EngineOutcome> outcomes;
    std::chrono::milliseconds took{0};
  };
  struct Health {
    bool down = false;
    // The messages it failed on since its last good answer.
    std::set<std::string> failedOn;
  };

  void Work();
  void Look();
  void Settle(Done done);
  // Saves a verdict and counts it; false when it was not saved.
  bool SaveVerdict(const PendingMessage& at, const std::string& queueId,
                   scanner::Route route,
                   const std::vector<scanner::ScanItem>& evidence);
  void GiveUp(const PendingMessage& at, const std::string& queueId,
              scanner::Route route, const std::string& why,
              std::vector<scanner::ScanItem> evidence);
  void NoteEngineDown(scanner::Engine engine, const scanner::EngineFailure& f);
  void LogOnce(const std::string& key, const std::string& line);

  LocalNotesServices& server_;
  const scanner::EngineSet& engines_;
  ScanPolicy policy_;
  ScanBoxes boxes_;
  scanner::ScannerCounts counts_;
  std::map<scanner::Engine, Health> health_;
  struct Failed {
    int tries = 0;
    Clock::time_point next;  // not tried again before
  };
  std::map<PendingMessage, Failed> failures_;
  std::set<PendingMessage> inFlight_;
  std::set<std::string> logged_;  // what failing is logged already
  size_t probe_ = 0;              // which waiting message asks next
  Clock::time_point nextLook_{};
  Clock::time_point nextRefresh_{};

  std::mutex mutex_;
  std::condition_variable jobReady_;
  std::condition_variable doneReady_;
  std::deque<Job> jobs_;
  std::deque<Done> done_;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace vt::tool
