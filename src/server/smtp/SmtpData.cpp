// Dot transparency and the end of the data.
#include "server/smtp/SmtpData.h"

#include <algorithm>

namespace vt::smtp {

DataDecoder::DataDecoder(uint64_t maxSize, size_t maxLine)
    : maxSize_(maxSize), maxLine_(std::max<size_t>(maxLine, 3)) {}

void DataDecoder::Fault(DataFault fault) {
  if (fault_ == DataFault::kNone) fault_ = fault;
}

void DataDecoder::Text(std::string_view text, std::string* out) {
  line_ += text.size();
  if (line_ + 2 > maxLine_) Fault(DataFault::kLineTooLong);
  if (fault_ != DataFault::kNone) return;
  if (text.size() > maxSize_ - size_) {
    Fault(DataFault::kTooBig);
    return;
  }
  out->append(text);
  size_ += text.size();
}

void DataDecoder::LineEnd(std::string* out) {
  line_ = 0;
  if (fault_ != DataFault::kNone) return;
  if (maxSize_ - size_ < 2) {
    Fault(DataFault::kTooBig);
    return;
  }
  out->append("\r\n");
  size_ += 2;
}

size_t DataDecoder::Decode(std::string_view bytes, std::string* out) {
  size_t i = 0;
  while (i < bytes.size() && state_ != State::kDone) {
    const char c = bytes[i];
    switch (state_) {
      case State::kText: {
        // The bulk of a message: a run of text up to the next CR or LF.
        const size_t end =
            std::min(bytes.find_first_of("\r\n", i), bytes.size());
        Text(bytes.substr(i, end - i), out);
        i = end;
        if (i == bytes.size()) break;
        if (bytes[i] == '\r') {
          state_ = State::kCr;
        } else {
          Fault(DataFault::kBareLineEnd);
          Text("\n", out);
        }
        ++i;
        break;
      }
      case State::kLineStart:
      case State::kDot:
        ++i;
        if (c == '.' && state_ == State::kLineStart) {
          state_ = State::kDot;
        } else if (c == '\r') {
          state_ = state_ == State::kDot ? State::kDotCr : State::kCr;
        } else {
          if (c == '\n') Fault(DataFault::kBareLineEnd);
          Text(std::string_view(&c, 1), out);
          state_ = State::kText;
        }
        break;
      case State::kCr:
      case State::kDotCr:
        if (c == '\n') {
          ++i;
          if (state_ == State::kDotCr) {
            state_ = State::kDone;
          } else {
            LineEnd(out);
            state_ = State::kLineStart;
          }
          break;
        }
        // The CR was bare; what follows it is read again as text (it may be
        // the CR of a CRLF).
        Fault(DataFault::kBareLineEnd);
        Text("\r", out);
        state_ = State::kText;
        break;
      case State::kDone:
        break;
    }
  }
  return i;
}

void DotStuffer::Add(std::string_view bytes, std::string* out) {
  size_t i = 0;
  while (i < bytes.size()) {
    const char c = bytes[i];
    if (cr_) {
      cr_ = false;
      out->append("\r\n");
      lineStart_ = true;
      if (c == '\n') {
        ++i;
        continue;
      }
    }
    if (c == '\r') {
      cr_ = true;
      ++i;
    } else if (c == '\n') {
      out->append("\r\n");
      lineStart_ = true;
      ++i;
    } else {
      if (lineStart_ && c == '.') out->push_back('.');
      const size_t end = std::min(bytes.find_first_of("\r\n", i), bytes.size());
      out->append(bytes.substr(i, end - i));
      lineStart_ = false;
      i = end;
    }
  }
}

void DotStuffer::Finish(std::string* out) {
  if (cr_ || !lineStart_) out->append("\r\n");
  cr_ = false;
  lineStart_ = true;
  out->append(".\r\n");
}

}  // namespace vt::smtp
