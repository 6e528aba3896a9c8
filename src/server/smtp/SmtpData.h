// The message data of DATA, both ways (RFC 5321 4.5.2): the listener's
// decoder takes the dots off and finds the end, the delivery client's
// stuffer puts them on and writes the end.
//
// Lines end in CRLF, and the data ends at CRLF "." CRLF only. A bare LF or
// bare CR is not a line end here, and a message that holds one is refused
// rather than mended: those are the bytes SMTP smuggling rides on (a
// "\n.\n" that one server reads as the end and another as text), and the
// message is kept and relayed byte for byte, so a mended copy would no
// longer be what was signed and a kept one would carry the ambiguity on to
// the next hop. Postfix, our client, writes CRLF only; what sends a bare
// line end is not a well-behaved MTA.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vt::smtp {

enum class DataFault : unsigned char {
  kNone,
  kTooBig,       // more than the size limit
  kLineTooLong,  // a line over the line limit, its CRLF counted
  kBareLineEnd,  // a CR or LF that is not part of a CRLF
};

class DataDecoder {
 public:
  // maxLine counts the CRLF (RFC 5321 4.5.3.1.6: 1000), not a stuffed dot.
  DataDecoder(uint64_t maxSize, size_t maxLine);

  // Decodes bytes that follow the DATA command's CRLF, appending the
  // message (CRLFs kept, dots taken off) to *out, and returns how many it
  // took: all of them, or up to and with the final CRLF "." CRLF. Once a
  // fault is met nothing more is appended, but the end is still looked for.
  size_t Decode(std::string_view bytes, std::string* out);

  bool done() const { return state_ == State::kDone; }
  // The first fault met.
  DataFault fault() const { return fault_; }
  uint64_t size() const { return size_; }  // the octets appended

 private:
  enum class State : unsigned char {
    kLineStart,
    kText,
    kCr,     // a CR in a line, which must be followed by LF
    kDot,    // a dot at the start of a line
    kDotCr,  // "." CR at the start of a line: the end, if LF follows
    kDone,
  };
  void Text(std::string_view text, std::string* out);
  void LineEnd(std::string* out);
  void Fault(DataFault fault);

  uint64_t maxSize_;
  size_t maxLine_;
  State state_ = State::kLineStart;
  DataFault fault_ = DataFault::kNone;
  uint64_t size_ = 0;
  size_t line_ = 0;  // octets of the current line so far
};

// Writes a message as DATA sends it: a dot doubled at the start of each
// line, and any bare CR or LF written as CRLF, so that what goes out has
// one reading whatever the next hop makes of bare line ends.
class DotStuffer {
 public:
  void Add(std::string_view bytes, std::string* out);
  // Ends the last line if the message did not, then writes "." CRLF.
  void Finish(std::string* out);

 private:
  bool lineStart_ = true;
  bool cr_ = false;  // a CR whose LF may come in the next bytes
};

}  // namespace vt::smtp
