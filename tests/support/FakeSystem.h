// A scripted SystemServices for tests: named mutexes in memory (shared by
// every fake on the same FakeMachine, like processes on one machine), a
// settable executable path, INI files and version blocks held as data, a
// registry, captured console output and a scripted random sequence.
#pragma once

#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "notes/FixedText.h"
#include "system/SystemServices.h"

namespace vt::testing {

// What all fakes of one test share: which mutex names are held, and by whom.
struct FakeMachine {
  std::map<std::string, int> owners;   // name -> owning handle id
  std::map<std::string, int> holders;  // name -> open handles
};

class FakeSystem : public SystemServices {
 public:
  explicit FakeSystem(FakeMachine& machine) : machine_(machine) {}

  // ---- scripting ----
  std::string exePath = "/opt/vt/bin/vtrouter";
  std::set<std::string> existingFiles;
  // file -> section -> key -> value (sections and keys as written)
  std::map<std::string,
           std::map<std::string, std::map<std::string, std::string>>>
      iniFiles;
  std::map<std::string, std::vector<uint8_t>> versionBlocks;  // path -> block
  bool registryAvailable = false;
  std::map<std::string, std::string> registryValues;
  std::string console;
  // The next Random() results; once they are used up, a varied sequence
  // (the C library's classic generator from the seed), never a constant
  // that would hide the code's other branches.
  std::deque<int> randomValues;
  uint32_t seededWith = 0;
  int64_t unixSeconds = 1'765'000'000;
  // WaitForMutex outcome while another holder owns the name.
  MutexWait waitOutcome = MutexWait::kTimeout;
  uint32_t lastWaitMs = 0;
  int mutexesOpen = 0;
  // What CheckNamedMutex answers for every handle, and what the next
  // RetakeNamedMutex calls answer (kInPlace once they are used up); a
  // retake that answers kInPlace puts the name back.
  MutexPlace mutexPlace = MutexPlace::kInPlace;
  std::deque<MutexPlace> retakeOutcomes;

  MutexHandle CreateNamedMutex(const char* name, bool initialOwner,
                               bool* alreadyExisted) override {
    const int id = ++nextHandle_;
    names_[id] = name;
    ++mutexesOpen;
    *alreadyExisted = machine_.holders[name]++ > 0;
    if (!*alreadyExisted && initialOwner) machine_.owners[name] = id;
    if (!*alreadyExisted && !initialOwner) machine_.owners[name] = 0;
    return MutexHandle{static_cast<uint32_t>(id)};
  }
  MutexWait WaitForMutex(MutexHandle mutex, uint32_t timeoutMs) override {
    lastWaitMs = timeoutMs;
    auto it = names_.find(static_cast<int>(mutex.value));
    if (it == names_.end()) return MutexWait::kFailed;
    auto owner = machine_.owners.find(it->second);
    if (owner == machine_.owners.end() || owner->second == 0) {
      machine_.owners[it->second] = static_cast<int>(mutex.value);
      return MutexWait::kAcquired;
    }
    return waitOutcome;
  }
  void ReleaseMutex(MutexHandle mutex) override {
    auto it = names_.find(static_cast<int>(mutex.value));
    if (it == names_.end()) return;
    auto owner = machine_.owners.find(it->second);
    if (owner != machine_.owners.end() &&
        owner->second == static_cast<int>(mutex.value)) {
      owner->second = 0;
    }
  }
  void CloseMutex(MutexHandle mutex) override {
    auto it = names_.find(static_cast<int>(mutex.value));
    if (it == names_.end()) return;
    ReleaseMutex(mutex);
    if (--machine_.holders[it->second] == 0) {
      machine_.holders.erase(it->second);
      machine_.owners.erase(it->second);
    }
    names_.erase(it);
    --mutexesOpen;
  }
  MutexPlace CheckNamedMutex(MutexHandle) override { return mutexPlace; }
  MutexPlace RetakeNamedMutex(MutexHandle) override {
    if (mutexPlace == MutexPlace::kInPlace) return mutexPlace;
    MutexPlace outcome = MutexPlace::kInPlace;
    if (!retakeOutcomes.empty()) {
      outcome = retakeOutcomes.front();
      retakeOutcomes.pop_front();
    }
    if (outcome == MutexPlace::kInPlace) mutexPlace = outcome;
    return outcome;
  }

  uint32_t GetExecutablePath(std::span<char> path) override {
    if (exePath.empty() || exePath.size() >= path.size()) return 0;
    CopyBounded(path, exePath);
    return static_cast<uint32_t>(exePath.size());
  }

  uint32_t GetFileVersionInfoSize(const char* path) override {
    auto it = versionBlocks.find(path);
    return it == versionBlocks.end() ? 0
                                     : static_cast<uint32_t>(it->second.size());
  }
  bool GetFileVersionInfo(const char* path, std::span<uint8_t> block) override {
    auto it = versionBlocks.find(path);
    if (it == versionBlocks.end() || block.size() < it->second.size()) {
      return false;
    }
    std::memcpy(block.data(), it->second.data(), it->second.size());
    return true;
  }
  // Fake blocks are "key\0" + 4-byte little-endian length + value, repeated.
  bool QueryVersionValue(std::span<const uint8_t> block, const char* subBlock,
                         const void** value, uint32_t* length) override {
    size_t pos = 0;
    while (pos < block.size()) {
      const char* key = reinterpret_cast<const char*>(block.data() + pos);
      const size_t keyLength = strnlen(key, block.size() - pos);
      pos += keyLength + 1;
      if (pos + 4 > block.size()) return false;
      const uint32_t n = block[pos] | (block[pos + 1] << 8) |
                         (block[pos + 2] << 16) | (block[pos + 3] << 24);
      pos += 4;
      if (pos + n > block.size()) return false;
      if (std::string(key, keyLength) == subBlock) {
        *value = block.data() + pos;
        *length = n;
        return true;
      }
      pos += n;
    }
    return false;
  }
  static std::vector<uint8_t> MakeVersionBlock(
      const std::vector<std::pair<std::string, std::string>>& entries) {
    std::vector<uint8_t> out;
    for (const auto& [key, value] : entries) {
      out.insert(out.end(), key.begin(), key.end());
      out.push_back(0);
      const uint32_t n = static_cast<uint32_t>(value.size());
      for (int i = 0; i < 4; ++i) out.push_back((n >> (8 * i)) & 0xFF);
      out.insert(out.end(), value.begin(), value.end());
    }
    return out;
  }

  uint32_t GetPrivateProfileString(const char* section, const char* key,
                                   const char* defaultValue,
                                   std::span<char> out,
                                   const char* fileName) override {
    std::string value = defaultValue;
    auto file = iniFiles.find(fileName);
    if (file != iniFiles.end()) {
      auto s = file->second.find(section);
      if (s != file->second.end()) {
        auto k = s->second.find(key);
        if (k != s->second.end()) value = k->second;
      }
    }
    CopyBounded(out, value);
    return static_cast<uint32_t>(strnlen(out.data(), out.size()));
  }

  bool FileExists(const char* path) override {
    return existingFiles.count(path) > 0;
  }

  long RegistryOpenKey(RegistryHive, const char*, RegistryKey* key) override {
    if (!registryAvailable) return 2;
    *key = RegistryKey{1};
    return 0;
  }
  long RegistryQueryValue(RegistryKey key, const char* valueName,
                          std::span<char> out, uint32_t* length) override {
    if (!key) return 6;
    auto it = registryValues.find(valueName);
    if (it == registryValues.end()) return 2;
    if (it->second.size() >= out.size()) return 234;  // more data
    CopyBounded(out, it->second);
    *length = static_cast<uint32_t>(it->second.size() + 1);
    return 0;
  }
  void RegistryCloseKey(RegistryKey) override {}

  void ConsoleWrite(const char* text) override { console += text; }
  int64_t CurrentUnixSeconds() override { return unixSeconds; }
  void SeedRandom(uint32_t seed) override {
    seededWith = seed;
    randomState_ = seed;
  }
  int Random() override {
    if (randomValues.empty()) {
      randomState_ = randomState_ * 1103515245u + 12345u;
      return static_cast<int>((randomState_ / 65536u) % 32768u);
    }
    const int r = randomValues.front();
    randomValues.pop_front();
    return r;
  }

 private:
  FakeMachine& machine_;
  std::map<int, std::string> names_;
  int nextHandle_ = 0;
  uint32_t randomState_ = 1;
};

}  // namespace vt::testing
