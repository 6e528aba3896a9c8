// SMTP replies as both sides see them: the listener formats every reply it
// sends from one type, and the delivery client reads the next hop's replies
// incrementally, one whole (possibly multi-line) reply at a time, with each
// line and the number of lines bounded so that a hostile server cannot make
// it hold more.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vt::smtp {

// RFC 5321 4.5.3.1.5: a reply line is at most 512 octets with its CRLF.
inline constexpr size_t kMaxReplyLine = 512;

struct Reply {
  int code = 0;                    // 200 to 599
  std::string enhanced;            // RFC 3463's "2.1.5", or empty
  std::vector<std::string> lines;  // each line's text, without code and CRLF

  Reply() = default;
  Reply(int code, std::string_view enhanced, std::string_view text);

  bool positive() const { return code >= 200 && code < 300; }
  bool transient() const { return code >= 400 && code < 500; }
  bool permanent() const { return code >= 500 && code < 600; }
  // The lines joined by blanks, for a log line or a bounce.
  std::string text() const;
  // "550 5.1.1 text": code, enhanced code when there is one, and text().
  std::string Summary() const;
};

// "250-2.0.0 first\r\n250 2.0.0 last\r\n"; a reply without text is its code.
std::string FormatReply(const Reply& reply);

// Whether a reply the owner supplies may go to the client as it is: a code
// 2yz, 4yz or 5yz, an enhanced code of the same class or none, lines of
// printable ASCII that fit kMaxReplyLine.
bool IsSendable(const Reply& reply);

// RFC 3463: class "." subject "." detail, the class 2, 4 or 5.
bool IsEnhancedCode(std::string_view text);

// Reads the replies of a server, as the bytes come. Lines end in CRLF; a bare
// LF is taken as well (a broken server's reply is still its answer). Every
// line of a reply carries the same code; a leading enhanced code of the
// reply's class is taken off each line that has it.
class ReplyParser {
 public:
  explicit ReplyParser(size_t maxLine = 2048, size_t maxLines = 100);

  // Takes bytes up to the end of the next whole reply and returns how many
  // it took; the caller feeds the rest after Take(). Takes nothing once a
  // reply is ready or the input was not a reply.
  size_t Feed(std::string_view bytes);
  bool ready() const { return state_ == State::kReady; }
  // Not a reply (a bad code, codes that differ, a line or reply over the
  // limits): the connection cannot be trusted any more.
  bool failed() const { return state_ == State::kFailed; }
  // The ready reply; the parser then waits for the next one.
  Reply Take();

 private:
  enum class State { kReading, kReady, kFailed };
  void EndLine();

  size_t maxLine_;
  size_t maxLines_;
  State state_ = State::kReading;
  std::string line_;
  Reply reply_;
};

}  // namespace vt::smtp
