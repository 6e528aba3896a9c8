// What one engine said about one message, or why it said nothing: the
// clients' common answer, which the verdict mapping and the scanner's log
// read without knowing any engine's protocol.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vt::scanner {

enum class Engine { kRspamd, kSpamd, kClamd };
// "rspamd", "spamd", "clamd".
std::string_view EngineName(Engine engine);

struct Symbol {
  std::string name;
  std::optional<double> score;  // spamd names its rules without their scores
  std::string description;
  std::vector<std::string> options;
};

struct EngineResult {
  Engine engine = Engine::kRspamd;
  std::optional<double> score;  // none from clamd
  std::optional<double> requiredScore;
  // rspamd's own action ("reject", "add header", ...); "spam" or "no action"
  // from spamd; "virus" or "clean" from clamd.
  std::string action;
  std::vector<Symbol> symbols;
  std::string virus;      // what clamd found; empty when clean
  bool skipped = false;   // rspamd ran none of its rules (GTUBE, settings)
  std::string messageId;  // as rspamd read it
};

enum class FailureKind {
  kUnreachable,  // no connection, or the connection broke
  kTimeout,      // the deadline passed first
  kProtocol,     // an answer that is not the protocol's, or too long
  kTooLarge,     // the engine would not take a message of that size
  kRefused,      // the engine answered with an error of its own
};
std::string_view FailureKindName(FailureKind kind);

struct EngineFailure {
  Engine engine = Engine::kRspamd;
  FailureKind kind = FailureKind::kUnreachable;
  std::string text;  // what failed and where

  // "rspamd: <text>" on one line, control characters shown as '?', at most
  // 400 bytes: the text may quote what a peer sent.
  std::string LogLine() const;
};

// A learning request's success: learnt now, or the engine had already
// learnt that message (in that class).
enum class Learned { kNow, kAlready };

// Either an engine's answer or its failure; a failure is never a verdict.
template <typename T>
class [[nodiscard]] EngineReply {
 public:
  EngineReply(T value) : value_(std::move(value)) {}  // NOLINT: implicit
  EngineReply(EngineFailure failure)                  // NOLINT: implicit
      : value_(std::move(failure)) {}

  bool ok() const { return std::holds_alternative<T>(value_); }
  const T& value() const& { return std::get<T>(value_); }
  T& value() & { return std::get<T>(value_); }
  const EngineFailure& failure() const {
    return std::get<EngineFailure>(value_);
  }

 private:
  std::variant<T, EngineFailure> value_;
};

using EngineOutcome = EngineReply<EngineResult>;
using LearnOutcome = EngineReply<Learned>;

// text with control characters as '?', cut to at most limit bytes.
std::string OneLine(std::string_view text, size_t limit);
// A score with two decimals ("15.00"); "" for none.
std::string ScoreText(const std::optional<double>& score);

}  // namespace vt::scanner
