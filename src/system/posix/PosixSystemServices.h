// The Linux implementation of SystemServices: what the router's Windows
// calls become on this platform. main() picks it; tests use it directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "system/SystemServices.h"
#include "system/posix/LockFileMutexes.h"

namespace vt {

class PosixSystemServices : public SystemServices {
 public:
  // Named mutexes live in the first usable of
  // LockFileMutexes::DefaultCandidates().
  PosixSystemServices();
  // Named mutexes live in lockDirectory (tests pass a temporary folder).
  explicit PosixSystemServices(std::string lockDirectory);

  // Empty until the first named mutex was created.
  std::string lockDirectory() { return mutexes_.directory(); }
  // Where the lock folders and files that are refused are reported.
  void SetReporter(LockFileMutexes::Reporter report) {
    mutexes_.SetReporter(std::move(report));
  }

  MutexHandle CreateNamedMutex(const char* name, bool initialOwner,
                               bool* alreadyExisted) override;
  MutexWait WaitForMutex(MutexHandle mutex, uint32_t timeoutMs) override;
  void ReleaseMutex(MutexHandle mutex) override;
  void CloseMutex(MutexHandle mutex) override;
  // By the device and inode of the lock file held against the file now at
  // its path.
  MutexPlace CheckNamedMutex(MutexHandle mutex) override;
  MutexPlace RetakeNamedMutex(MutexHandle mutex) override;
  // For the server's tools: whether some process holds the named mutex,
  // asked without taking it (nullopt: cannot be told).
  std::optional<bool> IsNamedMutexHeld(const char* name) {
    return mutexes_.IsHeld(name);
  }

  uint32_t GetExecutablePath(std::span<char> path) override;

  uint32_t GetFileVersionInfoSize(const char* path) override;
  // Fails when block is smaller than the size reported above.
  bool GetFileVersionInfo(const char* path, std::span<uint8_t> block) override;
  bool QueryVersionValue(std::span<const uint8_t> block, const char* subBlock,
                         const void** value, uint32_t* length) override;

  uint32_t GetPrivateProfileString(const char* section, const char* key,
                                   const char* defaultValue,
                                   std::span<char> out,
                                   const char* fileName) override;

  bool FileExists(const char* path) override;

  // Linux has no registry: opening fails with ERROR_FILE_NOT_FOUND (2),
  // querying with ERROR_INVALID_HANDLE (6), closing does nothing.
  long RegistryOpenKey(RegistryHive hive, const char* subKey,
                       RegistryKey* key) override;
  long RegistryQueryValue(RegistryKey key, const char* valueName,
                          std::span<char> out, uint32_t* length) override;
  void RegistryCloseKey(RegistryKey key) override;

  void ConsoleWrite(const char* text) override;

  int64_t CurrentUnixSeconds() override;
  // The Microsoft C library's rand() (the generator the router draws from on
  // Windows), kept in this object rather than in the C library's global
  // state, so each instance is deterministic for its seed. Unseeded it
  // starts as seed 1, like rand(); a seed is scrambled first, so that seeds
  // a second apart (the clock's) start far apart.
  void SeedRandom(uint32_t seed) override;
  int Random() override;

 private:
  LockFileMutexes mutexes_;
  uint32_t randomState_ = 1;
};

}  // namespace vt
