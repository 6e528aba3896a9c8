// Fuzzes where the administration database is read from: the bytes are
// Veltrane.ini beside the (pretended) executable, read by the real Linux
// system services. Whatever the file holds, the server name and path fit
// their fields, are terminated and carry no blanks at either end, and come
// from the file exactly when both keys were read from it.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzWorld.h"
#include "config/AdminDbLocation.h"

namespace vt::fuzzing {
namespace {

bool IsBlank(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

// What a name read from the file may look like once trimmed.
template <size_t N>
void CheckName(const FixedText<N>& field, const char* name) {
  CheckTerminated(field, name);
  const std::string_view text = field.view();
  if (!text.empty() && (IsBlank(text.front()) || IsBlank(text.back()))) {
    Fail("%s '%s' keeps a blank at one end", name, field.c_str());
  }
  // Lines end at a line feed: no value can hold one.
  if (text.find('\n') != std::string_view::npos) {
    Fail("%s holds a line feed", name);
  }
}

// TrimBlanks against the rule it follows: codes 1 to 32 go from both ends,
// everything from 0x80 up stays.
void CheckTrim(std::string_view bytes) {
  std::string text(bytes.substr(0, bytes.find('\0')));
  std::string_view expected = text;
  while (!expected.empty() && IsBlank(expected.front())) {
    expected.remove_prefix(1);
  }
  while (!expected.empty() && IsBlank(expected.back())) {
    expected.remove_suffix(1);
  }
  const std::string wanted(expected);
  // Exactly the text's own bytes, so that a read past them is seen.
  std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
  std::memcpy(buffer.get(), text.c_str(), text.size() + 1);
  TrimBlanks(buffer.get());
  if (wanted != buffer.get()) Fail("TrimBlanks gave '%s'", buffer.get());
}

class World {
 public:
  World()
      : system_(folder_.path()),
        ini_((folder_.path() / kIniFileName).string()),
        server_(Options()),
        notes_(server_) {
    FillKeptLines(server_);
    // The comparisons below need the router to look where the file is.
    WriteIni(nullptr, 0);
    FixedText<260> found;
    if (FindIniFile(notes_, system_, found.span()) != 1 || !(found == ini_)) {
      Fail("the router does not look for %s", ini_.c_str());
    }
  }

  void Run(const uint8_t* data, size_t size);

 private:
  static LocalNotesServicesOptions Options() {
    // Never started: the log stays in memory, which is all the reading
    // needs of the server.
    LocalNotesServicesOptions options;
    options.echoToStdout = false;
    return options;
  }
  void WriteIni(const uint8_t* data, size_t size);
  // Reads key of the section into exactly size bytes and checks the result
  // is whole or cut at the end, against the whole value.
  void CheckCut(const char* key, const std::string& whole, size_t size);

  ScratchFolder folder_;
  FuzzSystem system_;
  std::string ini_;
  LocalNotesServices server_;
  CountingNotes notes_;
};

void World::WriteIni(const uint8_t* data, size_t size) {
  const int fd =
      ::open(ini_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot write %s", ini_.c_str());
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) Fail("cannot write %s", ini_.c_str());
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

void World::CheckCut(const char* key, const std::string& whole, size_t size) {
  // Heap memory of exactly that size: a write past it is caught.
  std::unique_ptr<char[]> out(new char[size]);
  std::memset(out.get(), 'x', size);
  const uint32_t n = system_.GetPrivateProfileString(
      kIniSection, key, kIniMissingMark, std::span<char>(out.get(), size),
      ini_.c_str());
  if (std::memchr(out.get(), '\0', size) == nullptr) {
    Fail("%s read into %zu bytes is not terminated", key, size);
  }
  const size_t length = std::strlen(out.get());
  // The count is what was written (a NUL ends a line, so values hold none).
  if (n != length || n >= size) {
    Fail("%s read into %zu bytes: %u characters reported, %zu written", key,
         size, n, length);
  }
  if (std::string_view(out.get()) !=
      std::string_view(whole).substr(0, length)) {
    Fail("%s read into %zu bytes is not the start of the whole value", key,
         size);
  }
}

void World::Run(const uint8_t* data, size_t size) {
  WriteIni(data, size);
  const int logCalls = notes_.LogCalls();

  AdminDbLocation location;
  if (LocateAdminDatabase(notes_, system_, location) != 1) {
    Fail("LocateAdminDatabase did not return 1");
  }
  CheckName(location.adminServer, "adminServer");
  CheckName(location.adminPath, "adminPath");

  // The same file read on its own: both keys there, or the default.
  AdminDbLocation fromIni;
  const int read = ReadIniLocation(notes_, system_, fromIni, ini_.c_str());
  CheckName(fromIni.adminServer, "adminServer (INI)");
  CheckName(fromIni.adminPath, "adminPath (INI)");
  if (read == 1) {
    if (!(location.adminServer == fromIni.adminServer.view()) ||
        !(location.adminPath == fromIni.adminPath.view())) {
      Fail("the location differs from the INI file's");
    }
  } else if (!(location.adminServer == kDefaultAdminServer) ||
             !(location.adminPath == kDefaultAdminPath)) {
    Fail("without both keys the location is not the default: '%s' '%s'",
         location.adminServer.c_str(), location.adminPath.c_str());
  }

  // Every line logged is the router's, stamped and bounded.
  LastLines(server_, notes_.LogCalls() - logCalls);

  // The profile reader cut to a small buffer (its size chosen by the
  // input's length): only ever shortened.
  constexpr size_t kCuts[] = {1, 2, 8};
  for (const char* key : {"Server", "NSF"}) {
    FixedText<4096> whole;
    system_.GetPrivateProfileString(kIniSection, key, kIniMissingMark,
                                    whole.span(), ini_.c_str());
    CheckCut(key, std::string(whole.view()), kCuts[size % 3]);
  }

  CheckTrim(std::string_view(reinterpret_cast<const char*>(data),
                             size < 1024 ? size : 1024));
}

World* world = nullptr;

}  // namespace
}  // namespace vt::fuzzing

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Lives until exit, when its scratch folder goes.
  static vt::fuzzing::World instance;
  vt::fuzzing::world = &instance;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vt::fuzzing::world->Run(data, size);
  return 0;
}
