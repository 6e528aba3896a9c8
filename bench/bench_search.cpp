// How long one search takes over a large mail box when nothing matches,
// which is what the router does to every mail box every two seconds: the
// interception formula over 100,000 documents.
//   (a) the first search of a server, which reads every note (aim: under
//       100 ms);
//   (b) a search right after 100 new documents arrived through another
//       connection, which reads only those (aim: under 10 ms).
//
//   bench_search [DOCUMENTS] [ROUNDS]     (defaults 100000 and 20)
#include <algorithm>
#include <cstring>

#include "bench/BenchSupport.h"

namespace {

using namespace vt::bench;

constexpr char kFormula[] =
    "SELECT ((VeltraneProcess = \"1\") & (VeltraneVerified != \"1\"))";

vt::Status CountMatches(void* context, const vt::SearchMatch& match) {
  if ((match.matchFlags & vt::kSearchMatchFlag) != 0) {
    ++*static_cast<int*>(context);
  }
  return vt::Status();
}

// One server's compiled formula and open mail box.
class Searcher {
 public:
  explicit Searcher(const fs::path& dir)
      : server_(std::make_unique<vt::LocalNotesServices>(
            vt::LocalNotesServicesOptions{dir, nullptr, false})) {}
  ~Searcher() {
    if (formula_) server_->FreeMemory(formula_);
  }
  bool Open() {
    uint16_t length = 0, line = 0, column = 0, offset = 0, errorLength = 0;
    vt::Status error;
    return Check(server_->Start(), "Start") &&
           Check(server_->CompileFormula(
                     nullptr, 0, kFormula,
                     static_cast<uint16_t>(std::strlen(kFormula)), &formula_,
                     &length, &error, &line, &column, &offset, &errorLength),
                 "CompileFormula") &&
           Check(server_->OpenDatabase("mail.box", &db_), "OpenDatabase");
  }
  // Milliseconds, or -1 on failure.
  double Search(int* matches) {
    const auto start = SteadyClock::now();
    if (!Check(server_->SearchDatabase(db_, formula_, nullptr, 0,
                                       vt::kNoteClassDocument, nullptr,
                                       &CountMatches, matches, nullptr),
               "SearchDatabase")) {
      return -1;
    }
    return Seconds(start) * 1000;
  }

 private:
  std::unique_ptr<vt::LocalNotesServices> server_;
  vt::MemHandle formula_;
  vt::DbHandle db_;
};

void Report(const char* what, std::vector<double> ms, double aim) {
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  std::printf(
      "%s: median %.1f ms  best %.1f ms  worst %.1f ms   aim: under "
      "%.0f ms -> %s\n",
      what, median, ms.front(), ms.back(), aim,
      median < aim ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  const int documents = argc > 1 ? std::atoi(argv[1]) : 100000;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 20;
  ScratchDir scratch;
  auto server = MakeServer(scratch.path());
  if (!server) return 1;
  if (!Check(server->CreateDatabase("mail.box", 0, false), "CreateDatabase")) {
    return 1;
  }
  const auto fillStart = SteadyClock::now();
  // Delivered mail: verified, no processing flag; nothing to intercept.
  const std::vector<std::pair<std::string, std::string>> delivered = {
      {"VeltraneVerified", "1"}, {"Kesto_Router", "M"}};
  if (!FillDatabase(*server, "mail.box", 0, documents, delivered)) return 1;
  std::printf("made %d documents in %.1f s\n", documents, Seconds(fillStart));

  int matches = 0;
  std::vector<double> full;
  for (int r = 0; r < rounds; ++r) {
    Searcher fresh(scratch.path());
    if (!fresh.Open()) return 1;
    full.push_back(fresh.Search(&matches));
    if (full.back() < 0) return 1;
  }
  Report("(a) first search over all documents", full, 100);

  Searcher searcher(scratch.path());
  if (!searcher.Open() || searcher.Search(&matches) < 0) return 1;
  std::vector<double> after;
  for (int r = 0; r < rounds; ++r) {
    if (!FillDatabase(*server, "mail.box", documents + 100 * r, 100,
                      delivered)) {
      return 1;
    }
    after.push_back(searcher.Search(&matches));
    if (after.back() < 0) return 1;
  }
  Report("(b) search after 100 new documents", after, 10);
  return matches == 0 ? 0 : 1;
}
