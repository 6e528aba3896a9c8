// Parsers of rspamd's JSON, spamd's SPAMD/1.x replies and clamd's stream
// lines. JSON is parsed without exceptions and every field is type-checked
// before it is read.
#include "scanner/EngineReplies.h"

#include <charconv>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "base/Ascii.h"

namespace vt::scanner {
namespace {

using nlohmann::json;

// A peer's text quoted in a failure: one line, bounded.
std::string Quote(std::string_view text) { return OneLine(Trim(text), 200); }

EngineFailure ProtocolFailure(Engine engine, std::string text) {
  return EngineFailure{engine, FailureKind::kProtocol, std::move(text)};
}

const json* Member(const json& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

std::optional<double> NumberMember(const json& object, const char* name) {
  const json* value = Member(object, name);
  if (value == nullptr || !value->is_number()) return std::nullopt;
  return value->get<double>();
}

std::string TextMember(const json& object, const char* name) {
  const json* value = Member(object, name);
  if (value == nullptr || !value->is_string()) return {};
  return value->get<std::string>();
}

Symbol ReadRspamdSymbol(const std::string& key, const json& entry) {
  Symbol symbol;
  symbol.name = key;
  if (!entry.is_object()) return symbol;
  const std::string name = TextMember(entry, "name");
  if (!name.empty()) symbol.name = name;
  symbol.score = NumberMember(entry, "score");
  symbol.description = TextMember(entry, "description");
  if (const json* options = Member(entry, "options");
      options != nullptr && options->is_array()) {
    for (const json& option : *options) {
      if (option.is_string())
        symbol.options.push_back(option.get<std::string>());
    }
  }
  return symbol;
}

// Splits off the next line (without its CR LF or LF).
std::string_view NextLine(std::string_view* rest) {
  const size_t end = rest->find('\n');
  std::string_view line = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

std::optional<double> ParseNumber(std::string_view text) {
  text = Trim(text);
  double value = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  return value;
}

// A SPAMD reply's status line and headers. code is spamd's sysexits value.
struct SpamdHead {
  int code = -1;
  std::string message;
  std::vector<std::pair<std::string_view, std::string_view>> headers;
  std::string_view body;
};

std::optional<SpamdHead> ReadSpamdHead(std::string_view reply) {
  SpamdHead head;
  std::string_view rest = reply;
  const std::string_view status = NextLine(&rest);
  if (!status.starts_with("SPAMD/")) return std::nullopt;
  const size_t space = status.find(' ');
  if (space == std::string_view::npos) return std::nullopt;
  std::string_view after = status.substr(space + 1);
  const size_t codeEnd = after.find(' ');
  const std::string_view code = after.substr(0, codeEnd);
  const auto [end, ec] =
      std::from_chars(code.data(), code.data() + code.size(), head.code);
  if (ec != std::errc() || end != code.data() + code.size()) {
    return std::nullopt;
  }
  if (codeEnd != std::string_view::npos) {
    head.message = std::string(Trim(after.substr(codeEnd + 1)));
  }
  while (!rest.empty()) {
    const std::string_view line = NextLine(&rest);
    if (line.empty()) break;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    head.headers.emplace_back(Trim(line.substr(0, colon)),
                              Trim(line.substr(colon + 1)));
  }
  head.body = rest;
  return head;
}

std::optional<std::string_view> Header(const SpamdHead& head,
                                       std::string_view name) {
  for (const auto& [key, value] : head.headers) {
    if (EqualsIgnoreCase(key, name)) return value;
  }
  return std::nullopt;
}

EngineFailure SpamdError(const SpamdHead& head) {
  return EngineFailure{Engine::kSpamd, FailureKind::kRefused,
                       "spamd answered " + std::to_string(head.code) + " " +
                           Quote(head.message)};
}

}  // namespace

EngineOutcome ParseRspamdCheck(std::string_view text) {
  const json reply = json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (reply.is_discarded() || !reply.is_object()) {
    return ProtocolFailure(Engine::kRspamd,
                           "reply is not a JSON object: " + Quote(text));
  }
  EngineResult result;
  result.engine = Engine::kRspamd;
  result.action = TextMember(reply, "action");
  result.score = NumberMember(reply, "score");
  result.requiredScore = NumberMember(reply, "required_score");
  if (result.action.empty() || !result.score) {
    return ProtocolFailure(
        Engine::kRspamd, "reply without an action and a score: " + Quote(text));
  }
  if (const json* skipped = Member(reply, "is_skipped");
      skipped != nullptr && skipped->is_boolean()) {
    result.skipped = skipped->get<bool>();
  }
  result.messageId = TextMember(reply, "message-id");
  if (const json* symbols = Member(reply, "symbols");
      symbols != nullptr && symbols->is_object()) {
    for (const auto& [key, entry] : symbols->items()) {
      result.symbols.push_back(ReadRspamdSymbol(key, entry));
    }
  }
  return result;
}

std::string RspamdErrorText(std::string_view body) {
  const json reply = json::parse(body, nullptr, /*allow_exceptions=*/false);
  if (!reply.is_discarded() && reply.is_object()) {
    const std::string error = TextMember(reply, "error");
    if (!error.empty()) return Quote(error);
  }
  return Quote(body);
}

LearnOutcome ParseRspamdLearn(long httpStatus, std::string_view body) {
  const std::string error = RspamdErrorText(body);
  // rspamd 3 answers 404 "<id> has been already learned as ham, ignore it",
  // some versions 208: either way the classifier holds the message.
  if (httpStatus == 208 || ContainsIgnoreCase(error, "already learned")) {
    return Learned::kAlready;
  }
  if (httpStatus == 200) {
    const json reply = json::parse(body, nullptr, /*allow_exceptions=*/false);
    const json* success =
        reply.is_object() ? Member(reply, "success") : nullptr;
    if (success != nullptr && success->is_boolean() && success->get<bool>()) {
      return Learned::kNow;
    }
    return ProtocolFailure(Engine::kRspamd,
                           "learning answered without success: " + error);
  }
  return EngineFailure{Engine::kRspamd, FailureKind::kRefused,
                       "learning refused with HTTP " +
                           std::to_string(httpStatus) + ": " + error};
}

EngineOutcome ParseSpamdSymbols(std::string_view reply) {
  const std::optional<SpamdHead> head = ReadSpamdHead(reply);
  if (!head) {
    return ProtocolFailure(Engine::kSpamd,
                           "not a SPAMD reply: " + Quote(reply));
  }
  if (head->code != 0) return SpamdError(*head);
  const std::optional<std::string_view> spam = Header(*head, "Spam");
  if (!spam) {
    return ProtocolFailure(Engine::kSpamd,
                           "reply without a Spam line: " + Quote(reply));
  }
  // "True ; 15.0 / 5.0"
  const size_t semicolon = spam->find(';');
  const size_t slash = spam->find('/');
  if (semicolon == std::string_view::npos || slash == std::string_view::npos ||
      slash < semicolon) {
    return ProtocolFailure(Engine::kSpamd,
                           "unreadable Spam line: " + Quote(*spam));
  }
  const std::string_view flag = Trim(spam->substr(0, semicolon));
  const std::optional<double> score =
      ParseNumber(spam->substr(semicolon + 1, slash - semicolon - 1));
  const std::optional<double> required = ParseNumber(spam->substr(slash + 1));
  const bool isSpam =
      EqualsIgnoreCase(flag, "True") || EqualsIgnoreCase(flag, "Yes");
  if (!score || !required ||
      (!isSpam && !EqualsIgnoreCase(flag, "False") &&
       !EqualsIgnoreCase(flag, "No"))) {
    return ProtocolFailure(Engine::kSpamd,
                           "unreadable Spam line: " + Quote(*spam));
  }
  EngineResult result;
  result.engine = Engine::kSpamd;
  result.score = score;
  result.requiredScore = required;
  result.action = isSpam ? "spam" : "no action";
  std::string_view names = head->body;
  if (const std::optional<std::string_view> length =
          Header(*head, "Content-length")) {
    size_t size = 0;
    const auto [end, ec] =
        std::from_chars(length->data(), length->data() + length->size(), size);
    if (ec == std::errc() && size < names.size()) names = names.substr(0, size);
  }
  while (!names.empty()) {
    const size_t comma = names.find(',');
    const std::string_view name = Trim(names.substr(0, comma));
    names.remove_prefix(comma == std::string_view::npos ? names.size()
                                                        : comma + 1);
    if (!name.empty())
      result.symbols.push_back(Symbol{std::string(name), {}, {}, {}});
  }
  return result;
}

LearnOutcome ParseSpamdTell(std::string_view reply) {
  const std::optional<SpamdHead> head = ReadSpamdHead(reply);
  if (!head) {
    return ProtocolFailure(Engine::kSpamd,
                           "not a SPAMD reply: " + Quote(reply));
  }
  if (head->code != 0) return SpamdError(*head);
  if (Header(*head, "DidSet") || Header(*head, "DidRemove"))
    return Learned::kNow;
  return Learned::kAlready;
}

EngineOutcome ParseClamdReply(std::string_view reply) {
  std::string_view line = reply;
  while (!line.empty() && (line.back() == '\0' || IsAsciiSpace(line.back()))) {
    line.remove_suffix(1);
  }
  if (line.ends_with("ERROR")) {
    const bool tooLarge = ContainsIgnoreCase(line, "size limit");
    return EngineFailure{
        Engine::kClamd,
        tooLarge ? FailureKind::kTooLarge : FailureKind::kRefused,
        "clamd answered " + Quote(line)};
  }
  // "stream: OK", "stream: Eicar-Test-Signature FOUND"; a session's reply
  // may carry a number first ("1: stream: OK").
  const size_t label = line.find("stream: ");
  if (label == std::string_view::npos) {
    return ProtocolFailure(Engine::kClamd,
                           "not a stream reply: " + Quote(reply));
  }
  const std::string_view verdict = line.substr(label + 8);
  EngineResult result;
  result.engine = Engine::kClamd;
  if (verdict == "OK") {
    result.action = "clean";
    return result;
  }
  if (verdict.ends_with(" FOUND") && verdict.size() > 6) {
    result.action = "virus";
    result.virus = std::string(Trim(verdict.substr(0, verdict.size() - 6)));
    result.symbols.push_back(Symbol{result.virus, {}, {}, {}});
    return result;
  }
  return ProtocolFailure(Engine::kClamd,
                         "unknown stream reply: " + Quote(reply));
}

}  // namespace vt::scanner
