// Every database carries a random identity, drawn when it is made and never
// changed, so that files left at its path by another database can be told
// from its own: device and inode numbers cannot, since they are reused once
// a file is freed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "notes/Status.h"
#include "server/store/Sqlite.h"

namespace vt::store {

using FileIdentity = std::array<uint8_t, 16>;

// No database has it: a record naming it disowns whatever it stands beside.
inline constexpr FileIdentity kNoDatabase{};

// A table of its own, so that its page is written once and never again: no
// checkpoint rewrites it, and a read of the main file cannot catch it half
// written. Older programs ignore a table they do not know.
inline constexpr char kFileIdentitySchema[] =
    "CREATE TABLE fileid(value BLOB NOT NULL);";

// Random, never kNoDatabase.
FileIdentity NewFileIdentity();

// The 16 bytes and a check over them, so that a torn or damaged value never
// passes for another identity.
inline constexpr size_t kEncodedIdentitySize = 24;
std::array<uint8_t, kEncodedIdentitySize> EncodeFileIdentity(
    const FileIdentity& id);
std::optional<FileIdentity> DecodeFileIdentity(std::span<const uint8_t> bytes);

// The identity in the main file alone, whatever write-ahead log lies beside
// it; nullopt when the file has none or it cannot be read.
std::optional<FileIdentity> ReadIdentityWithoutLog(
    const std::filesystem::path& file);

// Adds the identity to a file being made, inside its write transaction.
Status StoreFileIdentity(SqliteConnection& db, const FileIdentity& id);

// The identity of an open file. A file made before identities gets one now,
// pushed into the main file at once for openers that read it without the
// log (until a checkpoint manages that, they see none).
Status EnsureFileIdentity(SqliteConnection& db, FileIdentity* id);

}  // namespace vt::store
