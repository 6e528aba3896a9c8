// One thread owns the store and the bookkeeping; the workers only talk to
// the engines. A job is in flight from the moment it is loaded until its
// verdict is saved or dropped, so no message is scanned twice at once.
#include "scanning/ScanService.h"

#include <algorithm>
#include <utility>

#include "scanning/NoteMessage.h"

namespace vt::tool {
namespace {

using scanner::Engine;
using scanner::EngineFailure;
using scanner::EngineOutcome;
using scanner::EngineResult;
using scanner::FailureKind;
using scanner::Route;

constexpr std::chrono::milliseconds kProbeEvery{3000};
// Failures on this many different messages in a row make an engine down.
constexpr size_t kEngineDownAfter = 3;

bool Vanished(Status s) {
  return s.Is(err::kNoteDeleted) || s.Is(err::kInvalidNote);
}

std::vector<EngineResult> Answers(const std::vector<EngineOutcome>& outcomes) {
  std::vector<EngineResult> results;
  for (const EngineOutcome& outcome : outcomes) {
    if (outcome.ok()) results.push_back(outcome.value());
  }
  return results;
}

std::string Bytes(size_t n) { return std::to_string(n) + " bytes"; }

}  // namespace

ScanService::ScanService(LocalNotesServices& server,
                         const scanner::EngineSet& engines, ScanPolicy policy)
    : server_(server),
      engines_(engines),
      policy_(std::move(policy)),
      boxes_(server) {
  if (policy_.concurrency == 0) policy_.concurrency = 1;
  for (size_t i = 0; i < policy_.concurrency; ++i) {
    workers_.emplace_back([this] { Work(); });
  }
}

ScanService::~ScanService() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  jobReady_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void ScanService::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job.started = Clock::now();
    job.request.deadline = scanner::Deadline::In(engines_.timeout());
    Done done;
    done.outcomes = engines_.Scan(job.request);
    done.took = std::chrono::duration_cast<std::chrono::milliseconds>(
        Clock::now() - job.started);
    // The bytes are not needed any more; the verdict is saved by note.
    job.request.message.clear();
    job.request.message.shrink_to_fit();
    done.job = std::move(job);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(std::move(done));
    }
    doneReady_.notify_one();
  }
}

Outcome ScanService::Run(
    const std::function<bool()>& stop,
    const std::function<void(const scanner::ScannerCounts&)>& show) {
  Outcome outcome = boxes_.Refresh();
  if (!outcome.ok()) return outcome;
  nextRefresh_ = Clock::now() + policy_.refresh;
  scanner::ScannerCounts shown = counts_;
  show(counts_);
  bool stopping = false;
  while (!stopping || !inFlight_.empty()) {
    if (!stopping && stop()) stopping = true;
    const Clock::time_point now = Clock::now();
    if (!stopping && now >= nextLook_ && inFlight_.size() < policy_.concurrency)
      Look();
    std::deque<Done> finished;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      doneReady_.wait_for(lock, std::chrono::milliseconds(100),
                          [this] { return !done_.empty(); });
      finished.swap(done_);
    }
    for (Done& done : finished) Settle(std::move(done));
    if (!(counts_ == shown)) {
      shown = counts_;
      show(counts_);
    }
  }
  return Outcome();
}

void ScanService::Look() {
  const Clock::time_point now = Clock::now();
  nextLook_ = now + policy_.poll;
  if (now >= nextRefresh_) {
    nextRefresh_ = now + policy_.refresh;
    const Outcome outcome = boxes_.Refresh();
    if (!outcome.ok()) {
      LogOnce("config", "Scanner: " + outcome.message());
    } else {
      logged_.erase("config");
    }
  }
  std::vector<PendingMessage> pending;
  std::string failedBox;
  const Status found = boxes_.Find(&pending, &failedBox);
  if (!found.ok()) {
    LogOnce("find", "Scanner: Cannot search " + failedBox +
                        " for mail to scan: " + StatusMessage(found));
  } else {
    logged_.erase("find");
  }
  counts_.waiting = pending.size();
  // Forget the failures of messages no longer waiting (released, moved).
  if (found.ok()) {
    const std::set<PendingMessage> waiting(pending.begin(), pending.end());
    std::erase_if(failures_, [&](const auto& entry) {
      return !waiting.contains(entry.first);
    });
  }
  // While an engine is down every message would wait for it: one message
  // at a time asks whether it is back, every few seconds.
  const bool probing = !counts_.down.empty();
  const size_t slots = probing ? 1 : policy_.concurrency;
  if (probing) nextLook_ = now + std::max(policy_.poll, kProbeEvery);
  // Some messages are left for the next look only because every slot was
  // taken: look again as soon as one frees up.
  size_t left = 0;
  if (probing && !pending.empty()) {
    // A different one each time, so that one message the engine cannot
    // take does not keep an engine that is back counted as down.
    std::rotate(pending.begin(),
                pending.begin() +
                    static_cast<std::ptrdiff_t>(probe_++ % pending.size()),
                pending.end());
  }
  for (const PendingMessage& at : pending) {
    if (inFlight_.count(at) != 0) continue;
    const auto failed = failures_.find(at);
    if (failed != failures_.end() && now < failed->second.next) continue;
    if (inFlight_.size() >= slots) {
      ++left;
      continue;
    }
    ServerAdmin::NoteContents note;
    const Status s = boxes_.Load(at, &note);
    // Changed, verified or gone since the search: the next look tells.
    if (Vanished(s) || s.Is(err::kUpdateConflict)) continue;
    if (!s.ok()) {
      LogOnce("load:" + at.box, "Scanner: Cannot read a message of " + at.box +
                                    ": " + StatusMessage(s));
      continue;
    }
    Job job;
    job.at = at;
    job.request = RequestFromNote(note);
    job.queueId = job.request.queueId;
    if (job.request.message.size() > policy_.maxBytes) {
      GiveUp(at, job.queueId, policy_.oversizeRoute,
             "it is " + Bytes(job.request.message.size()) +
                 ", over the limit of " + Bytes(policy_.maxBytes),
             {});
      continue;
    }
    inFlight_.insert(at);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(std::move(job));
    }
    jobReady_.notify_one();
  }
  if (left > 0 && !probing) nextLook_ = now;
}

void ScanService::Settle(Done done) {
  const Job& job = done.job;
  inFlight_.erase(job.at);
  const std::vector<Engine> engines = engines_.engines();
  bool engineDown = false;  // a failure that is the engine's, not the message's
  bool tooLarge = false;
  std::string failure;
  for (size_t i = 0; i < done.outcomes.size() && i < engines.size(); ++i) {
    const EngineOutcome& outcome = done.outcomes[i];
    Health& health = health_[engines[i]];
    if (outcome.ok()) {
      if (health.down) {
        health.down = false;
        logged_.erase("engine:" + std::string(EngineName(engines[i])));
        server_.LogMessage("Scanner: %s answers again.", Status(),
                           engines_.Describe(engines[i]).c_str());
      }
      health.failedOn.clear();
      continue;
    }
    ++counts_.failures;
    const EngineFailure& f = outcome.failure();
    if (failure.empty()) failure = f.LogLine();
    if (f.kind == FailureKind::kTooLarge) {
      tooLarge = true;
      continue;
    }
    // Unreachable, or failing on one message after another: the engine's
    // fault, not the message's.
    health.failedOn.insert(job.queueId);
    if (f.kind == FailureKind::kUnreachable || health.down ||
        health.failedOn.size() >= kEngineDownAfter) {
      engineDown = true;
      NoteEngineDown(engines[i], f);
    }
  }
  counts_.down.clear();
  for (const Engine engine : engines) {
    if (health_[engine].down) {
      counts_.down.emplace_back(scanner::EngineName(engine));
    }
  }

  const scanner::Verdict verdict =
      scanner::DecideVerdict(done.outcomes, policy_.verdicts);
  const auto timing =
      scanner::ScanTiming{std::chrono::system_clock::now(), done.took};
  std::vector<scanner::ScanItem> evidence =
      scanner::ScanItems(Answers(done.outcomes), timing);
  if (verdict.route) {
    if (SaveVerdict(job.at, job.queueId, *verdict.route, evidence)) {
      failures_.erase(job.at);
      server_.LogMessage(
          "Scanner: %s in %s: %c, %s (%lld ms).", Status(), job.queueId.c_str(),
          job.at.box.c_str(), scanner::RouteLetter(*verdict.route),
          verdict.reason.c_str(), static_cast<long long>(done.took.count()));
    }
    return;
  }
  if (tooLarge) {
    GiveUp(job.at, job.queueId, policy_.oversizeRoute,
           "an engine would not take its size (" + failure + ")",
           std::move(evidence));
    return;
  }
  // The engine is down: the message waits for it, however long.
  if (engineDown) return;
  Failed& failed = failures_[job.at];
  const int tries = ++failed.tries;
  if (tries < policy_.maxFailures) {
    failed.next =
        Clock::now() + policy_.retryAfter * (1 << std::min(tries - 1, 10));
    return;
  }
  GiveUp(job.at, job.queueId, policy_.failedRoute,
         std::to_string(tries) + " scans gave no verdict (" +
             (failure.empty() ? verdict.reason : failure) + ")",
         std::move(evidence));
}

bool ScanService::SaveVerdict(const PendingMessage& at,
                              const std::string& queueId, Route route,
                              const std::vector<scanner::ScanItem>& evidence) {
  const Status s = boxes_.Save(at, route, evidence);
  // Released or moved by the router, or saved by another scanner, since
  // it was found: whoever saved first wins, and this counts nothing. If it
  // still waits, the next look finds it again.
  if (Vanished(s) || s.Is(err::kUpdateConflict)) return false;
  if (!s.ok()) {
    LogOnce("save:" + at.box, "Scanner: Cannot save the verdict of " + queueId +
                                  " in " + at.box + ": " + StatusMessage(s));
    return false;
  }
  logged_.erase("save:" + at.box);
  ++counts_.verdicts[static_cast<size_t>(route)];
  return true;
}

void ScanService::GiveUp(const PendingMessage& at, const std::string& queueId,
                         Route route, const std::string& why,
                         std::vector<scanner::ScanItem> evidence) {
  evidence.push_back(scanner::ScanItem{"VTScanGivenUp", {why}, false});
  if (!SaveVerdict(at, queueId, route, evidence)) return;
  failures_.erase(at);
  ++counts_.givenUp;
  server_.LogMessage("Scanner: %s in %s: given %c without a verdict: %s.",
                     Status(), queueId.c_str(), at.box.c_str(),
                     scanner::RouteLetter(route), why.c_str());
}

void ScanService::NoteEngineDown(Engine engine, const EngineFailure& f) {
  Health& health = health_[engine];
  if (health.down) return;
  health.down = true;
  LogOnce("engine:" + std::string(scanner::EngineName(engine)),
          "Scanner: " + engines_.Describe(engine) +
              " is not answering; mail waits for it: " + f.LogLine());
}

void ScanService::LogOnce(const std::string& key, const std::string& line) {
  if (!logged_.insert(key).second) return;
  server_.LogMessage("%s", Status(), line.c_str());
}

}  // namespace vt::tool
