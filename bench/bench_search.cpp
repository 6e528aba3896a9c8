// How long one search takes over a large mail box when nothing matches,
// which is what the router does to every mail box every two seconds: the
// interception formula over 100,000 documents. Aim: under 100 ms.
//
//   bench_search [DOCUMENTS] [ROUNDS]     (defaults 100000 and 20)
#include <algorithm>
#include <cstring>

#include "bench/BenchSupport.h"

namespace {

vt::Status CountMatches(void* context, const vt::SearchMatch& match) {
  if ((match.matchFlags & vt::kSearchMatchFlag) != 0) {
    ++*static_cast<int*>(context);
  }
  return vt::Status();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vt::bench;
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
  if (!FillDatabase(*server, "mail.box", 0, documents,
                    {{"VeltraneVerified", "1"}, {"Kesto_Router", "M"}})) {
    return 1;
  }
  std::printf("made %d documents in %.1f s\n", documents, Seconds(fillStart));

  const char* text =
      "SELECT ((VeltraneProcess = \"1\") & (VeltraneVerified != \"1\"))";
  vt::MemHandle formula;
  uint16_t length = 0, line = 0, column = 0, offset = 0, errorLength = 0;
  vt::Status error;
  if (!Check(server->CompileFormula(nullptr, 0, text,
                                    static_cast<uint16_t>(std::strlen(text)),
                                    &formula, &length, &error, &line, &column,
                                    &offset, &errorLength),
             "CompileFormula")) {
    return 1;
  }
  vt::DbHandle db;
  if (!Check(server->OpenDatabase("mail.box", &db), "OpenDatabase")) return 1;
  std::vector<double> ms;
  int matches = 0;
  for (int r = 0; r < rounds; ++r) {
    const auto start = SteadyClock::now();
    if (!Check(server->SearchDatabase(db, formula, nullptr, 0,
                                      vt::kNoteClassDocument, nullptr,
                                      &CountMatches, &matches, nullptr),
               "SearchDatabase")) {
      return 1;
    }
    ms.push_back(Seconds(start) * 1000);
  }
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  std::printf("search over %d documents, %d rounds, %d matches\n", documents,
              rounds, matches);
  std::printf("  median %.1f ms  best %.1f ms  worst %.1f ms\n", median,
              ms.front(), ms.back());
  std::printf("  %.0f documents/s (median)   aim: under 100 ms -> %s\n",
              documents / (median / 1000), median < 100 ? "met" : "MISSED");
  server->FreeMemory(formula);
  return matches == 0 ? 0 : 1;
}
