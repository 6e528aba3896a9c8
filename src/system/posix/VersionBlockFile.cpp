// Finding and parsing the embedded version block; see VersionBlockFile.h.
#include "system/posix/VersionBlockFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "base/Ascii.h"
#include "base/ByteOrder.h"
#include "base/UniqueFd.h"

namespace vt {
namespace {

// Each byte is one below the marker's. Reading them through volatile keeps
// the optimiser from folding the "+ 1" into a ready-made marker constant.
const volatile uint8_t kMarkerBelow[kVersionMarkerSize] = {
    0x7E,    'V' - 1, 'T' - 1, 'V' - 1, 'E' - 1, 'R' - 1, 'S' - 1, 'I' - 1,
    'O' - 1, 'N' - 1, 'B' - 1, 'L' - 1, 'O' - 1, 'C' - 1, 'K' - 1, '1' - 1};

// Walks every entry of the block; false as soon as anything does not fit.
// visit returns true to stop early.
bool ForEachEntry(std::span<const uint8_t> block,
                  const std::function<bool(std::string_view,
                                           std::span<const uint8_t>)>& visit) {
  if (block.size() < kVersionHeaderSize) return false;
  const auto marker = VersionBlockMarker();
  if (std::memcmp(block.data(), marker.data(), marker.size()) != 0) {
    return false;
  }
  const uint32_t payloadSize = LoadLe32(block.data() + kVersionMarkerSize);
  if (payloadSize > block.size() - kVersionHeaderSize) return false;
  const auto payload = block.subspan(kVersionHeaderSize, payloadSize);

  size_t pos = 0;
  while (pos < payload.size()) {
    if (payload[pos] == 0) {  // padding between entries
      ++pos;
      continue;
    }
    const auto* keyStart = payload.data() + pos;
    const auto* keyEnd = static_cast<const uint8_t*>(
        std::memchr(keyStart, 0, payload.size() - pos));
    if (keyEnd == nullptr) return false;
    const std::string_view key(reinterpret_cast<const char*>(keyStart),
                               static_cast<size_t>(keyEnd - keyStart));
    pos += key.size() + 1;
    if (payload.size() - pos < 4) return false;
    const uint32_t valueSize = LoadLe32(payload.data() + pos);
    pos += 4;
    if (valueSize > payload.size() - pos) return false;
    if (visit(key, payload.subspan(pos, valueSize))) return true;
    pos += valueSize;
  }
  return true;
}

bool ReadAt(int fd, uint64_t offset, uint8_t* out, size_t size) {
  while (size > 0) {
    const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

// The block at offset when the marker found there starts a valid one.
std::vector<uint8_t> BlockAt(int fd, uint64_t offset, uint64_t fileSize) {
  if (offset > fileSize || fileSize - offset < kVersionHeaderSize) return {};
  uint8_t header[kVersionHeaderSize];
  if (!ReadAt(fd, offset, header, sizeof header)) return {};
  const uint32_t payloadSize = LoadLe32(header + kVersionMarkerSize);
  if (payloadSize > kMaxVersionPayload ||
      fileSize - offset - kVersionHeaderSize < payloadSize) {
    return {};
  }
  std::vector<uint8_t> block(kVersionHeaderSize + payloadSize);
  if (!ReadAt(fd, offset, block.data(), block.size())) return {};
  if (!IsValidVersionBlock(block)) return {};
  return block;
}

}  // namespace

std::array<uint8_t, kVersionMarkerSize> VersionBlockMarker() {
  std::array<uint8_t, kVersionMarkerSize> marker;
  for (size_t i = 0; i < marker.size(); ++i) {
    marker[i] = static_cast<uint8_t>(kMarkerBelow[i] + 1);
  }
  return marker;
}

std::vector<uint8_t> LoadVersionBlock(const char* path, size_t chunkSize) {
  if (path == nullptr || chunkSize == 0) return {};
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return {};
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  const auto fileSize = static_cast<uint64_t>(st.st_size);

  const auto marker = VersionBlockMarker();
  const std::boyer_moore_horspool_searcher searcher(marker.begin(),
                                                    marker.end());
  // The buffer keeps the last marker-size-minus-one bytes of the previous
  // chunk in front of the next, so a marker across a boundary is seen once.
  std::vector<uint8_t> buf(kVersionMarkerSize - 1 + chunkSize);
  size_t carried = 0;
  uint64_t bufOffset = 0;  // file offset of buf[0]
  for (;;) {
    ssize_t n;
    do {
      n = ::read(fd.get(), buf.data() + carried, chunkSize);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return {};
    const size_t filled = carried + static_cast<size_t>(n);
    const auto end = buf.begin() + static_cast<ptrdiff_t>(filled);
    for (auto hit = std::search(buf.begin(), end, searcher); hit != end;
         hit = std::search(hit + 1, end, searcher)) {
      const uint64_t offset =
          bufOffset + static_cast<uint64_t>(hit - buf.begin());
      // A stray copy of the marker (data that happens to match) is skipped
      // rather than hiding a real block further on.
      auto block = BlockAt(fd.get(), offset, fileSize);
      if (!block.empty()) return block;
    }
    carried = std::min(filled, kVersionMarkerSize - 1);
    std::memmove(buf.data(), buf.data() + filled - carried, carried);
    bufOffset += filled - carried;
  }
}

bool IsValidVersionBlock(std::span<const uint8_t> block) {
  return ForEachEntry(
      block, [](std::string_view, std::span<const uint8_t>) { return false; });
}

bool QueryVersionBlock(std::span<const uint8_t> block, std::string_view query,
                       const void** value, uint32_t* length) {
  // The whole block is checked first: a corrupt block answers nothing, even
  // for an entry in front of the damage.
  if (!IsValidVersionBlock(block)) return false;
  bool found = false;
  ForEachEntry(block, [&](std::string_view key, std::span<const uint8_t> v) {
    if (!EqualsIgnoreCase(key, query)) return false;
    if (value) *value = v.data();
    if (length) *length = static_cast<uint32_t>(v.size());
    found = true;
    return true;
  });
  return found;
}

}  // namespace vt
