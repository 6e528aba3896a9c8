// The mail rules of the server's mail boxes, as CopyNote consults them: a
// note a rule selects is refused (kMailRuleRefused) and nothing is written.
// The formula evaluator implements it over the [MailRules] of server.ini;
// tests implement it directly.
#pragma once

#include "server/formula/ItemSource.h"

namespace vt {

class MailRuleFilter {
 public:
  MailRuleFilter() = default;
  MailRuleFilter(const MailRuleFilter&) = delete;
  MailRuleFilter& operator=(const MailRuleFilter&) = delete;
  virtual ~MailRuleFilter() = default;

  // True when a rule selects the note (all of its items are visible).
  virtual bool Refuses(const ItemSource& note) = 0;
};

}  // namespace vt
