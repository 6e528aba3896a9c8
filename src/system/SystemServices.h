// The operating-system calls the router makes, behind one seam: named
// mutexes, the executable's path, its file version, INI reading, file
// existence, the registry, console output and the C library's generator.
// PosixSystemServices is the Linux implementation; tests substitute fakes
// (the registry branch can only be reached that way on Linux).
#pragma once

#include <cstdint>
#include <span>

namespace vt {

// An open named mutex; 0 means none. Owned by the caller until CloseMutex.
struct MutexHandle {
  uint32_t value = 0;
  explicit operator bool() const { return value != 0; }
  friend bool operator==(MutexHandle, MutexHandle) = default;
};

// An open registry key; 0 means none.
struct RegistryKey {
  uint32_t value = 0;
  explicit operator bool() const { return value != 0; }
};

enum class MutexWait { kAcquired, kTimeout, kFailed };

// Whether a mutex's name still leads to the mutex a handle has open.
enum class MutexPlace { kInPlace, kGone, kReplaced };

enum class RegistryHive { kLocalMachine };

class SystemServices {
 public:
  SystemServices() = default;
  SystemServices(const SystemServices&) = delete;
  SystemServices& operator=(const SystemServices&) = delete;
  virtual ~SystemServices() = default;

  // Creates or opens the machine-wide mutex of that name. alreadyExisted is
  // set when another holder had it (the Windows ERROR_ALREADY_EXISTS case).
  // A creator that asks for initial ownership and finds the name free owns it
  // at once; one who finds it existing must wait for it. A name is free again
  // once every holder has closed it or died. Returns no handle on failure.
  virtual MutexHandle CreateNamedMutex(const char* name, bool initialOwner,
                                       bool* alreadyExisted) = 0;
  virtual MutexWait WaitForMutex(MutexHandle mutex, uint32_t timeoutMs) = 0;
  virtual void ReleaseMutex(MutexHandle mutex) = 0;
  virtual void CloseMutex(MutexHandle mutex) = 0;

  // Whether the name of an open mutex still leads to it: kGone when nothing
  // is at the name any more (its lock file was removed), so that the next
  // creator finds the name free whatever this handle holds; kReplaced when
  // another mutex is at the name now, which creators meet instead of this
  // one; kInPlace otherwise (always, where names cannot be taken away, as
  // on Windows). kGone for an unknown handle. Changes nothing and costs
  // about one stat, so it may be asked before every pass.
  virtual MutexPlace CheckNamedMutex(MutexHandle mutex) = 0;
  // Puts a held mutex back at its name when the name is gone or leads to a
  // mutex that nobody holds: made there again and held by this handle, as
  // though it had just been created. kInPlace when the name leads to this
  // handle's mutex again (or never stopped); kReplaced when another holder
  // has the name, which stays theirs; kGone when it cannot be made now (try
  // again later). A handle that does not hold its mutex, or an unknown one,
  // gets CheckNamedMutex's answer and changes nothing.
  virtual MutexPlace RetakeNamedMutex(MutexHandle mutex) = 0;

  // Full path of the running executable; the length written, 0 on failure.
  virtual uint32_t GetExecutablePath(std::span<char> path) = 0;

  // File version resource of a file: the size of its version block (0 when
  // it has none), the block itself, and a value inside it by query path
  // ("\VarFileInfo\Translation", "\StringFileInfo\040904b0\FileVersion").
  virtual uint32_t GetFileVersionInfoSize(const char* path) = 0;
  virtual bool GetFileVersionInfo(const char* path,
                                  std::span<uint8_t> block) = 0;
  // On success value points into block and length is its size in bytes
  // (for strings, the characters without the terminator).
  virtual bool QueryVersionValue(std::span<const uint8_t> block,
                                 const char* subBlock, const void** value,
                                 uint32_t* length) = 0;

  // Reads key of section from an INI file into out (cut to fit); out gets
  // defaultValue when the file, section or key is missing. Returns the
  // number of characters written.
  virtual uint32_t GetPrivateProfileString(const char* section, const char* key,
                                           const char* defaultValue,
                                           std::span<char> out,
                                           const char* fileName) = 0;

  virtual bool FileExists(const char* path) = 0;

  // 0 on success, a system error code otherwise.
  virtual long RegistryOpenKey(RegistryHive hive, const char* subKey,
                               RegistryKey* key) = 0;
  // Fails (nonzero) when the value is missing or longer than out.
  virtual long RegistryQueryValue(RegistryKey key, const char* valueName,
                                  std::span<char> out, uint32_t* length) = 0;
  virtual void RegistryCloseKey(RegistryKey key) = 0;

  virtual void ConsoleWrite(const char* text) = 0;

  // Seconds since 1970-01-01 UTC, and the C library's generator (0..32767).
  virtual int64_t CurrentUnixSeconds() = 0;
  virtual void SeedRandom(uint32_t seed) = 0;
  virtual int Random() = 0;
};

}  // namespace vt
