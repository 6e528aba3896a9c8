// The router's mail boxes as a release reaches them: open, in the
// configuration's order, found by name.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "datadir/Outcome.h"
#include "datadir/RouterSettings.h"
#include "notes/HandleOwners.h"

namespace vt::tool {

// The router's mail boxes, open, in the configuration's order; one that
// cannot be opened is a failure naming it.
class MailBoxes {
 public:
  Outcome Open(NotesServices& notes, const RouterSettings& settings);
  // The index of the mail box named name ('\' or '/', any case), or -1.
  int Find(const std::string& name) const;
  size_t size() const { return names_.size(); }
  const std::string& name(size_t i) const { return names_[i]; }
  DbHandle handle(size_t i) const { return databases_[i]->handle(); }
  // The name of the mail box of that handle.
  std::string NameOf(DbHandle db) const;

 private:
  std::vector<std::string> names_;
  std::vector<std::unique_ptr<Database>> databases_;
};

}  // namespace vt::tool
