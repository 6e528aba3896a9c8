// `vtserver send DIR ...`: the mail server's stand-in deposits messages.
#include <cstdio>
#include <string>

#include "DataDirCommand.h"
#include "datadir/ItemText.h"
#include "standins/Deposit.h"

namespace vt::tool {
namespace {

// Ten years; enough for any release time.
constexpr int64_t kMaxAgeMinutes = 10LL * 366 * 24 * 60;
constexpr int kMaxCount = 100000;
// Within what one item of a note may hold.
constexpr size_t kMaxBodyBytes = 32u * 1024 * 1024;

class SendCommand : public DataDirCommand {
 public:
  SendCommand()
      : DataDirCommand("send",
                       "Deposit messages as the mail server would: Form "
                       "\"Memo\", From, SendTo, Subject, Body, VeltraneProcess "
                       "\"1\" and a VTMessageId to trace each; prints the "
                       "note IDs") {}

 private:
  void AddArguments(CLI::App& app) override {
    CLI::App* sub = &app;
    sub->add_option("--db", options_.database, "the mail box")
        ->capture_default_str();
    sub->add_option("--count", options_.count, "how many messages")
        ->check(CLI::Range(1, kMaxCount))
        ->capture_default_str();
    sub->add_flag("--hold", options_.hold, "RoutingState \"HOLD\"");
    sub->add_flag("--dead", options_.dead,
                  "RoutingState \"DEAD\" with a DeadFailureReason");
    sub->add_flag("--no-process", noProcess_, "no VeltraneProcess item");
    sub->add_option("--subject", options_.subject,
                    "the subject (default: \"Test message N\")");
    sub->add_option("--age", options_.ageMinutes,
                    "created this many minutes ago")
        ->check(CLI::Range(int64_t{0}, kMaxAgeMinutes));
    sub->add_option("--body-bytes", options_.bodyBytes,
                    "pad each body to this many bytes (mail of a given size)")
        ->check(CLI::Range(size_t{0}, kMaxBodyBytes));
    sub->get_option("--hold")->excludes("--dead");
  }

  Outcome RunOn(LocalNotesServices& server) override {
    options_.process = !noProcess_;
    std::vector<DepositedMessage> sent;
    const Outcome outcome = DepositMessages(server, options_, &sent);
    std::string line;
    for (const DepositedMessage& m : sent) {
      line.append(line.empty() ? "" : " ");
      line.append(NoteIdText(m.noteId));
    }
    if (!line.empty()) std::printf("%s\n", line.c_str());
    return outcome;
  }

  DepositOptions options_;
  bool noProcess_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeSendCommand() {
  return std::make_unique<SendCommand>();
}

}  // namespace vt::tool
