// Opening and naming the router's mail boxes.
#include "quarantine/MailBoxes.h"

#include <algorithm>

#include "base/Ascii.h"

namespace vt::tool {
namespace {

std::string Normalized(const std::string& path) {
  std::string text = path;
  std::replace(text.begin(), text.end(), '\\', '/');
  while (!text.empty() && text.front() == '/') text.erase(text.begin());
  return text;
}

}  // namespace

Outcome MailBoxes::Open(NotesServices& notes, const RouterSettings& settings) {
  for (const std::string& name : settings.mailBoxes) {
    auto db = std::make_unique<Database>(notes);
    const Status s = db->Open(name);
    if (!s.ok()) return StatusFailure("cannot open the mail box " + name, s);
    names_.push_back(name);
    databases_.push_back(std::move(db));
  }
  if (names_.empty()) return Outcome::Failure("the router has no mail box");
  return Outcome();
}

int MailBoxes::Find(const std::string& name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (EqualsIgnoreCase(Normalized(names_[i]), Normalized(name))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

std::string MailBoxes::NameOf(DbHandle db) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (databases_[i]->handle() == db) return names_[i];
  }
  return "?";
}

}  // namespace vt::tool
