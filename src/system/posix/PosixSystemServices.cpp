// The Linux implementation of SystemServices; see PosixSystemServices.h.
#include "system/posix/PosixSystemServices.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "system/posix/ProfileReader.h"
#include "system/posix/VersionBlockFile.h"

namespace vt {
namespace {

constexpr long kErrorFileNotFound = 2;
constexpr long kErrorInvalidHandle = 6;

}  // namespace

PosixSystemServices::PosixSystemServices()
    : mutexes_(LockFileMutexes::DefaultCandidates()) {}

PosixSystemServices::PosixSystemServices(std::string lockDirectory)
    : mutexes_(std::move(lockDirectory)) {}

MutexHandle PosixSystemServices::CreateNamedMutex(const char* name,
                                                  bool initialOwner,
                                                  bool* alreadyExisted) {
  return mutexes_.Create(name, initialOwner, alreadyExisted);
}

MutexWait PosixSystemServices::WaitForMutex(MutexHandle mutex,
                                            uint32_t timeoutMs) {
  return mutexes_.Wait(mutex, timeoutMs);
}

void PosixSystemServices::ReleaseMutex(MutexHandle mutex) {
  mutexes_.Release(mutex);
}

void PosixSystemServices::CloseMutex(MutexHandle mutex) {
  mutexes_.Close(mutex);
}

MutexPlace PosixSystemServices::CheckNamedMutex(MutexHandle mutex) {
  return mutexes_.Check(mutex);
}

MutexPlace PosixSystemServices::RetakeNamedMutex(MutexHandle mutex) {
  return mutexes_.Retake(mutex);
}

uint32_t PosixSystemServices::GetExecutablePath(std::span<char> path) {
  if (path.empty()) return 0;
  path[0] = '\0';
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
  // n == size may be a cut path, and leaves no room for the terminator.
  if (n <= 0 || static_cast<size_t>(n) >= path.size()) {
    path[0] = '\0';
    return 0;
  }
  path[static_cast<size_t>(n)] = '\0';
  return static_cast<uint32_t>(n);
}

uint32_t PosixSystemServices::GetFileVersionInfoSize(const char* path) {
  return static_cast<uint32_t>(LoadVersionBlock(path).size());
}

bool PosixSystemServices::GetFileVersionInfo(const char* path,
                                             std::span<uint8_t> block) {
  const std::vector<uint8_t> found = LoadVersionBlock(path);
  if (found.empty() || found.size() > block.size()) return false;
  std::copy(found.begin(), found.end(), block.begin());
  return true;
}

bool PosixSystemServices::QueryVersionValue(std::span<const uint8_t> block,
                                            const char* subBlock,
                                            const void** value,
                                            uint32_t* length) {
  if (subBlock == nullptr) return false;
  return QueryVersionBlock(block, subBlock, value, length);
}

uint32_t PosixSystemServices::GetPrivateProfileString(const char* section,
                                                      const char* key,
                                                      const char* defaultValue,
                                                      std::span<char> out,
                                                      const char* fileName) {
  return ReadProfileString(section, key, defaultValue, out, fileName);
}

bool PosixSystemServices::FileExists(const char* path) {
  struct stat st;
  return path != nullptr && ::stat(path, &st) == 0;
}

long PosixSystemServices::RegistryOpenKey(RegistryHive /*hive*/,
                                          const char* /*subKey*/,
                                          RegistryKey* key) {
  if (key) *key = RegistryKey{};
  return kErrorFileNotFound;
}

long PosixSystemServices::RegistryQueryValue(RegistryKey /*key*/,
                                             const char* /*valueName*/,
                                             std::span<char> out,
                                             uint32_t* length) {
  if (!out.empty()) out[0] = '\0';
  if (length) *length = 0;
  return kErrorInvalidHandle;
}

void PosixSystemServices::RegistryCloseKey(RegistryKey /*key*/) {}

void PosixSystemServices::ConsoleWrite(const char* text) {
  if (text == nullptr) return;
  std::fputs(text, stdout);
  std::fflush(stdout);
}

int64_t PosixSystemServices::CurrentUnixSeconds() {
  return static_cast<int64_t>(std::time(nullptr));
}

void PosixSystemServices::SeedRandom(uint32_t seed) {
  // The seed is the time in seconds, and this generator's first value moves
  // by only about 3 in 32768 from one second to the next: a router started
  // within the same few minutes would draw the same mail box every time. So
  // the seed is scrambled first (a 32-bit hash finaliser); the sequence from
  // there on is the C library's.
  seed ^= seed >> 16;
  seed *= 0x85EBCA6Bu;
  seed ^= seed >> 13;
  seed *= 0xC2B2AE35u;
  seed ^= seed >> 16;
  randomState_ = seed;
}

int PosixSystemServices::Random() {
  randomState_ = randomState_ * 214013u + 2531011u;
  return static_cast<int>((randomState_ >> 16) & 0x7FFF);
}

}  // namespace vt
