// Drives an SmtpSession as the listener will: feeds the client's bytes in
// chunks of a chosen size, takes the replies, keeps each message's data and
// envelope, and answers the final dot (at once, or later when asked to).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/smtp/SmtpReply.h"
#include "server/smtp/SmtpSession.h"

namespace vt::smtp::testing {

struct Message {
  Envelope envelope;
  std::string data;
};

class SessionDriver : public SessionHandler {
 public:
  explicit SessionDriver(const SessionOptions& options,
                         std::optional<Reply> answer = Reply(250, "2.0.0",
                                                             "Ok: queued"))
      : answer_(std::move(answer)),
        session_(std::make_unique<SmtpSession>(options, *this)) {
    output_ = session_->TakeOutput();
  }

  // Feeds input chunk by chunk (0: all at once), as a reader that keeps
  // what the session did not take and offers it again.
  void Feed(std::string_view input, size_t chunk = 0) {
    std::string pending;
    while (!input.empty() || !pending.empty()) {
      const size_t n =
          chunk == 0 ? input.size() : std::min(chunk, input.size());
      pending.append(input.substr(0, n));
      input.remove_prefix(n);
      const size_t taken = session_->Feed(pending);
      pending.erase(0, taken);
      output_ += session_->TakeOutput();
      if (taken == 0 && input.empty()) break;  // waiting for an answer
    }
    rest_ += pending;
  }
  // Answers the awaited message, then offers what was kept back.
  void Answer(const Reply& reply) {
    ASSERT_TRUE(session_->Answer(reply).ok());
    output_ += session_->TakeOutput();
    std::string rest;
    rest.swap(rest_);
    Feed(rest);
  }

  // LMTP: one reply per recipient.
  void AnswerEach(const std::vector<Reply>& replies) {
    ASSERT_TRUE(session_->AnswerEach(replies).ok());
    output_ += session_->TakeOutput();
    std::string rest;
    rest.swap(rest_);
    Feed(rest);
  }

  SmtpSession& session() { return *session_; }
  const std::string& output() const { return output_; }
  const std::vector<Message>& messages() const { return messages_; }
  const std::vector<std::string>& events() const { return events_; }
  size_t largestData() const { return largestData_; }

  void MessageBegins(const Envelope&) override {
    events_.push_back("begins");
    data_.clear();
  }
  void MessageData(std::string_view bytes) override {
    data_.append(bytes);
    largestData_ = std::max(largestData_, data_.size());
  }
  void MessageRefused(const Reply& reply) override {
    events_.push_back("refused " + std::to_string(reply.code));
    data_.clear();
  }
  void MessageComplete(const Envelope& envelope) override {
    events_.push_back("complete");
    messages_.push_back({envelope, data_});
    if (answer_) {
      EXPECT_TRUE(session_->Answer(*answer_).ok());
    }
  }

 private:
  std::optional<Reply> answer_;
  std::unique_ptr<SmtpSession> session_;
  std::string output_;
  std::string rest_;
  std::string data_;
  size_t largestData_ = 0;
  std::vector<Message> messages_;
  std::vector<std::string> events_;
};

// The replies in output as "code enhanced" ("250 2.1.5", "354"), each reply
// read by the client-side parser, which must take all of it.
inline std::vector<std::string> ReplyCodes(std::string_view output) {
  std::vector<std::string> codes;
  ReplyParser parser;
  while (!output.empty()) {
    output.remove_prefix(parser.Feed(output));
    if (!parser.ready()) {
      ADD_FAILURE() << "not whole replies: " << output;
      break;
    }
    const Reply reply = parser.Take();
    codes.push_back(std::to_string(reply.code) +
                    (reply.enhanced.empty() ? "" : " " + reply.enhanced));
  }
  return codes;
}

}  // namespace vt::smtp::testing
