// The mail rules of server.ini's [MailRules]: each a selection formula; a
// copy into one of the server's mail boxes is refused when any rule selects
// the message.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "server/MailRuleFilter.h"
#include "server/ServerIni.h"
#include "server/formula/FormulaProgram.h"

namespace vt {

class FormulaMailRules : public MailRuleFilter {
 public:
  struct Problem {
    std::string rule;
    std::string message;
  };

  // Compiles the rules (name, formula text); a rule that does not compile is
  // left out and reported in problems.
  void Load(const std::vector<MailRule>& rules, std::vector<Problem>* problems);
  bool empty() const { return programs_.empty(); }

  // now: the server's current time, for rules that use @Now.
  void SetNow(TimeDate now) { now_ = now; }
  bool Refuses(const ItemSource& note) override;

 private:
  std::vector<formula::FormulaProgram> programs_;
  TimeDate now_;
};

}  // namespace vt
