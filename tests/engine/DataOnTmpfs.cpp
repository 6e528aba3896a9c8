// Engine tests build a fresh data directory per test (the fault sweep one
// per injected fault), and the store makes every write durable with fsync.
// On a disk that costs seconds per test and tells these tests nothing: the
// store's durability is tested with the store. So unless the runner chose a
// temporary folder itself, the data directories go to the shared-memory file
// system when the machine has one.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace {

struct TemporaryFolderChoice {
  TemporaryFolderChoice() {
    if (getenv("TMPDIR") != nullptr) return;
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec) &&
        access("/dev/shm", W_OK | X_OK) == 0) {
      setenv("TMPDIR", "/dev/shm", 1);
    }
  }
};

const TemporaryFolderChoice kChoice;

}  // namespace
