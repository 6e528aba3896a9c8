// The machine-wide lock every writer of a configuration document takes (the
// router takes it to save new quarantine names), so that two writers never
// overwrite each other's items.
#pragma once

#include <optional>

#include "datadir/Outcome.h"
#include "system/ScopedNamedMutex.h"
#include "system/SystemServices.h"

namespace vt::tool {

class ConfigSaveLock {
 public:
  explicit ConfigSaveLock(SystemServices& system) : system_(system) {}
  ConfigSaveLock(const ConfigSaveLock&) = delete;
  ConfigSaveLock& operator=(const ConfigSaveLock&) = delete;

  // Owns the lock until this goes, waiting as long as the router would
  // when it is held.
  Outcome Acquire();

 private:
  SystemServices& system_;
  std::optional<ScopedNamedMutex> lock_;
};

}  // namespace vt::tool
