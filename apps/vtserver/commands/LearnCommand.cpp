// `vtserver learn DIR --spam|--ham FILE...`: teaches the engines of DIR's
// server.ini what an administrator decided about messages outside the
// quarantine: spam that reached a mail box (saved from it, or a Maildir's
// files), or ham from elsewhere. A quarantined message is taught as ham by
// `vtserver quarantine release --learn`.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "quarantine/Learning.h"

namespace vt::tool {
namespace {

// Larger than any engine takes: a file beyond it is no mail message.
constexpr std::streamoff kMaxMessageBytes = 64LL * 1024 * 1024;

Outcome ReadMessage(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Outcome::Failure(path + ": cannot read it");
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size > kMaxMessageBytes) {
    return Outcome::Failure(path + ": larger than 64 MiB, no mail message");
  }
  in.seekg(0);
  bytes->assign(std::istreambuf_iterator<char>(in),
                std::istreambuf_iterator<char>());
  if (in.bad()) return Outcome::Failure(path + ": cannot read it");
  if (bytes->empty()) return Outcome::Failure(path + ": empty");
  return Outcome();
}

class LearnCommand : public DataDirCommand {
 public:
  LearnCommand()
      : DataDirCommand("learn",
                       "Teach the spam engines (server.ini's [Scanner]) "
                       "that messages in RFC 5322 files are spam or ham") {}

 private:
  DataDirOptions Options() const override { return DataDirOptions::ReadOnly(); }

  void AddArguments(CLI::App& sub) override {
    auto* spam = sub.add_flag("--spam", spam_, "the files are spam");
    auto* ham = sub.add_flag("--ham", ham_, "the files are not spam");
    spam->excludes(ham);
    sub.add_option("FILE", files_, "messages, e.g. a Maildir's files")
        ->required()
        ->check(CLI::ExistingFile);
  }

  Outcome CheckArguments() override {
    if (!spam_ && !ham_) return Outcome::Failure("say --spam or --ham");
    return Outcome();
  }

  Outcome RunOn(LocalNotesServices& server) override {
    std::unique_ptr<scanner::EngineSet> engines;
    Outcome outcome = LearningEngines(server, &engines);
    if (!outcome.ok()) return outcome;
    size_t failed = 0;
    for (const std::string& file : files_) {
      scanner::ScanRequest request;
      outcome = ReadMessage(file, &request.message);
      if (!outcome.ok()) {
        std::fflush(stdout);
        ReportFailure(outcome);
        ++failed;
        continue;
      }
      request.queueId = file.substr(file.find_last_of('/') + 1);
      const LearnReport report =
          LearnMessage(*engines, std::move(request), spam_, file);
      const std::string summary = report.Summary(spam_);
      if (!summary.empty())
        std::printf("%s: %s\n", file.c_str(), summary.c_str());
      std::fflush(stdout);
      for (const std::string& failure : report.failures) {
        std::fprintf(stderr, "vtserver: %s\n", failure.c_str());
      }
      if (!report.ok()) ++failed;
    }
    if (failed == 0) return Outcome();
    return Outcome::Failure(std::to_string(failed) + " of " +
                            std::to_string(files_.size()) +
                            " messages not learnt by every engine");
  }

  bool spam_ = false;
  bool ham_ = false;
  std::vector<std::string> files_;
};

}  // namespace

std::unique_ptr<Command> MakeLearnCommand() {
  return std::make_unique<LearnCommand>();
}

}  // namespace vt::tool
