// Reads the version block that the build embeds into every executable of the
// project (cmake/VersionBlock.cpp.in), the Linux stand-in for a Windows
// version resource: finding it in a file, and answering queries from it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace vt {

// Block layout: marker (16 bytes), payload length (32-bit little-endian),
// then entries: query path, NUL, value length (32-bit LE), value bytes. NUL
// bytes between entries are padding (the build leaves the version text's
// terminator after its value, so a string value can be read as C text).
inline constexpr size_t kVersionMarkerSize = 16;
inline constexpr size_t kVersionHeaderSize = kVersionMarkerSize + 4;
// A real block is about a hundred bytes; anything larger than this is a
// stray marker followed by unrelated data.
inline constexpr uint32_t kMaxVersionPayload = 1u << 20;
inline constexpr size_t kVersionScanChunk = 64 * 1024;

// The marker, assembled at run time: a copy of its 16 bytes in this code's
// read-only data would be found by the scan before the real block.
std::array<uint8_t, kVersionMarkerSize> VersionBlockMarker();

// The first valid version block in the file (marker, length and well-formed
// entries that fit in the file), read chunkSize bytes at a time; empty when
// the file has none or cannot be read.
std::vector<uint8_t> LoadVersionBlock(const char* path,
                                      size_t chunkSize = kVersionScanChunk);

// True when block starts with a well-formed version block (bytes after its
// payload are ignored).
bool IsValidVersionBlock(std::span<const uint8_t> block);

// Finds the entry whose query path equals query (ASCII case-insensitive).
// value then points into block; length is the value's size in bytes.
// False for a missing entry or a malformed block; never reads outside it.
bool QueryVersionBlock(std::span<const uint8_t> block, std::string_view query,
                       const void** value, uint32_t* length);

}  // namespace vt
