// The version block: found in the running test executable (the build embeds
// it), in hand-made files wherever it lies, and rejected when damaged.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "system/posix/PosixSystemServices.h"
#include "system/posix/VersionBlockFile.h"

namespace vt {
namespace {

using testing::TempDir;

constexpr const char* kTranslation = "\\VarFileInfo\\Translation";
constexpr const char* kFileVersion = "\\StringFileInfo\\040904b0\\FileVersion";

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

struct Entry {
  std::string key;
  std::string value;
  size_t padding = 0;  // NUL bytes after the value
};

// A block laid out as the build lays it out; the marker comes from the
// reader, so this file holds no copy of it.
std::vector<uint8_t> MakeBlock(const std::vector<Entry>& entries) {
  std::vector<uint8_t> payload;
  for (const Entry& e : entries) {
    payload.insert(payload.end(), e.key.begin(), e.key.end());
    payload.push_back(0);
    PutLe32(payload, static_cast<uint32_t>(e.value.size()));
    payload.insert(payload.end(), e.value.begin(), e.value.end());
    payload.insert(payload.end(), e.padding, 0);
  }
  const auto marker = VersionBlockMarker();
  std::vector<uint8_t> block(marker.begin(), marker.end());
  PutLe32(block, static_cast<uint32_t>(payload.size()));
  block.insert(block.end(), payload.begin(), payload.end());
  return block;
}

std::vector<uint8_t> StandardBlock(const std::string& version) {
  return MakeBlock({{kTranslation, std::string("\x09\x04\xb0\x04", 4)},
                    {kFileVersion, version, 1}});
}

std::vector<uint8_t> Filler(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>((i * 131 + seed) & 0xFF);
  }
  return bytes;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::string QueryText(PosixSystemServices& sys, std::span<const uint8_t> block,
                      const char* query) {
  const void* value = nullptr;
  uint32_t length = 0;
  if (!sys.QueryVersionValue(block, query, &value, &length)) return "<none>";
  const auto* p = static_cast<const uint8_t*>(value);
  EXPECT_GE(p, block.data());
  EXPECT_LE(p + length, block.data() + block.size());
  return std::string(static_cast<const char*>(value), length);
}

class VersionInfoTest : public ::testing::Test {
 protected:
  TempDir dir_;
  PosixSystemServices sys_{dir_.path()};

  std::vector<uint8_t> Read(const std::string& path) {
    const uint32_t size = sys_.GetFileVersionInfoSize(path.c_str());
    std::vector<uint8_t> block(size);
    if (size > 0) {
      EXPECT_TRUE(sys_.GetFileVersionInfo(path.c_str(), block));
    }
    return block;
  }
};

TEST_F(VersionInfoTest, RunningExecutableCarriesTheBuildsVersion) {
  char path[4096];
  ASSERT_GT(sys_.GetExecutablePath(path), 0u);
  const std::vector<uint8_t> block = Read(path);
  ASSERT_FALSE(block.empty());

  const void* value = nullptr;
  uint32_t length = 0;
  ASSERT_TRUE(sys_.QueryVersionValue(block, kTranslation, &value, &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(std::memcmp(value, "\x09\x04\xb0\x04", 4), 0);

  ASSERT_TRUE(sys_.QueryVersionValue(block, kFileVersion, &value, &length));
  const std::string version(static_cast<const char*>(value), length);
  EXPECT_TRUE(std::regex_match(version, std::regex(R"(\d+, \d+, \d+, \d+)")))
      << version;
  // The text's terminator follows it inside the block.
  EXPECT_EQ(static_cast<const char*>(value)[length], '\0');

  EXPECT_EQ(Read("/proc/self/exe"), block);
}

TEST_F(VersionInfoTest, HandMadeBlockIsFoundWhereverItLies) {
  const std::vector<uint8_t> block = StandardBlock("1, 2, 0, 5");
  const std::string path =
      dir_.Write("app", Concat({Filler(100000, 7), block, Filler(3000, 9)}));
  const std::vector<uint8_t> read = Read(path);
  EXPECT_EQ(read, block);
  EXPECT_EQ(QueryText(sys_, read, kFileVersion), "1, 2, 0, 5");
  EXPECT_EQ(QueryText(sys_, read, "\\stringfileinfo\\040904B0\\fileversion"),
            "1, 2, 0, 5");
  EXPECT_EQ(QueryText(sys_, read, "\\StringFileInfo\\040704b0\\FileVersion"),
            "<none>");
  EXPECT_EQ(QueryText(sys_, read, kTranslation),
            std::string("\x09\x04\xb0\x04", 4));
}

TEST_F(VersionInfoTest, BlockAtTheVeryEndOfTheFileIsFound) {
  const std::vector<uint8_t> block = MakeBlock({{kFileVersion, "1, 2, 0, 5"}});
  const std::string path = dir_.Write("app", Concat({Filler(10, 1), block}));
  EXPECT_EQ(Read(path), block);
}

TEST_F(VersionInfoTest, FilesWithoutABlockHaveNoVersion) {
  const std::string plain = dir_.Write("plain", Filler(200000, 3));
  const std::string empty = dir_.Write("empty", "");
  for (const std::string& path :
       {plain, empty, dir_.File("missing"), dir_.path().string()}) {
    EXPECT_EQ(sys_.GetFileVersionInfoSize(path.c_str()), 0u) << path;
    std::vector<uint8_t> block(4096);
    EXPECT_FALSE(sys_.GetFileVersionInfo(path.c_str(), block)) << path;
  }
  EXPECT_EQ(sys_.GetFileVersionInfoSize(nullptr), 0u);
}

TEST_F(VersionInfoTest, TooSmallABufferGetsNothing) {
  const std::vector<uint8_t> block = StandardBlock("1, 2, 0, 5");
  const std::string path = dir_.Write("app", block);
  std::vector<uint8_t> small(block.size() - 1);
  EXPECT_FALSE(sys_.GetFileVersionInfo(path.c_str(), small));
  std::vector<uint8_t> large(block.size() + 10);
  EXPECT_TRUE(sys_.GetFileVersionInfo(path.c_str(), large));
  EXPECT_EQ(QueryText(sys_, large, kFileVersion), "1, 2, 0, 5");
}

TEST_F(VersionInfoTest, TruncatedFilesHaveNoVersion) {
  const std::vector<uint8_t> block = StandardBlock("1, 2, 0, 5");
  for (size_t keep = 0; keep < block.size(); ++keep) {
    std::vector<uint8_t> cut = Filler(50, 5);
    cut.insert(cut.end(), block.begin(),
               block.begin() + static_cast<ptrdiff_t>(keep));
    const std::string path = dir_.Write("cut", cut);
    EXPECT_EQ(sys_.GetFileVersionInfoSize(path.c_str()), 0u) << keep;
  }
}

TEST_F(VersionInfoTest, ImplausiblePayloadLengthsAreRejected) {
  for (uint32_t length : {0xFFFFFFFFu, kMaxVersionPayload + 1, 5000u}) {
    std::vector<uint8_t> block = StandardBlock("1, 2, 0, 5");
    block[16] = static_cast<uint8_t>(length);
    block[17] = static_cast<uint8_t>(length >> 8);
    block[18] = static_cast<uint8_t>(length >> 16);
    block[19] = static_cast<uint8_t>(length >> 24);
    const std::string path = dir_.Write("bad", Concat({block, Filler(100, 2)}));
    EXPECT_EQ(sys_.GetFileVersionInfoSize(path.c_str()), 0u) << length;
  }
}

TEST_F(VersionInfoTest, BlockWithDamagedEntriesIsNoVersion) {
  std::vector<uint8_t> block = MakeBlock({{kFileVersion, "1, 2, 0, 5"}});
  // The value's length runs past the payload into the bytes after it.
  block[kVersionHeaderSize + std::strlen(kFileVersion) + 1] = 40;
  const std::string path =
      dir_.Write("bad", Concat({Filler(30, 2), block, Filler(100, 3)}));
  EXPECT_EQ(sys_.GetFileVersionInfoSize(path.c_str()), 0u);
}

TEST_F(VersionInfoTest, StrayMarkerDoesNotHideTheRealBlock) {
  std::vector<uint8_t> stray = StandardBlock("9, 9, 9, 9");
  stray.resize(kVersionHeaderSize);
  stray[19] = 0x7F;  // an absurd length
  const std::vector<uint8_t> block = StandardBlock("1, 2, 0, 5");
  const std::string path =
      dir_.Write("app", Concat({Filler(70, 4), stray, Filler(70, 6), block}));
  EXPECT_EQ(QueryText(sys_, Read(path), kFileVersion), "1, 2, 0, 5");
}

TEST_F(VersionInfoTest, MarkerAcrossAChunkBoundaryIsFound) {
  const std::vector<uint8_t> block = StandardBlock("1, 2, 0, 5");
  constexpr size_t kChunk = 64;
  for (size_t start = kChunk - kVersionMarkerSize - 1; start <= kChunk + 1;
       ++start) {
    const std::string path =
        dir_.Write("app", Concat({Filler(start, 8), block, Filler(40, 1)}));
    EXPECT_EQ(LoadVersionBlock(path.c_str(), kChunk), block) << start;
    EXPECT_EQ(LoadVersionBlock(path.c_str(), 7), block) << start;
  }
  // The same with the chunk size the services read with.
  const std::string path = dir_.Write(
      "big", Concat({Filler(kVersionScanChunk - 9, 8), block, Filler(40, 1)}));
  EXPECT_EQ(Read(path), block);
}

TEST_F(VersionInfoTest, PaddingBetweenEntriesIsAccepted) {
  const std::vector<uint8_t> block =
      MakeBlock({{kTranslation, std::string("\x09\x04\xb0\x04", 4), 3},
                 {kFileVersion, "", 2}});
  EXPECT_EQ(QueryText(sys_, block, kFileVersion), "");
  EXPECT_EQ(QueryText(sys_, block, kTranslation).size(), 4u);
}

TEST(VersionBlockQuery, RejectsDamagedBlocksWithoutReadingPastThem) {
  PosixSystemServices sys("/nonexistent");
  const std::vector<uint8_t> good = StandardBlock("1, 2, 0, 5");
  ASSERT_EQ(QueryText(sys, good, kFileVersion), "1, 2, 0, 5");

  // Every shorter span, copied so that the sanitizers see its true end.
  for (size_t keep = 0; keep < good.size(); ++keep) {
    std::vector<uint8_t> cut(good.begin(),
                             good.begin() + static_cast<ptrdiff_t>(keep));
    EXPECT_EQ(QueryText(sys, cut, kFileVersion), "<none>") << keep;
  }

  // Wrong marker.
  std::vector<uint8_t> bad = good;
  bad[3] ^= 0x20;
  EXPECT_EQ(QueryText(sys, bad, kFileVersion), "<none>");

  // A key without its terminator: the payload ends inside it.
  bad = MakeBlock({{kFileVersion, "1, 2, 0, 5"}});
  bad.resize(kVersionHeaderSize + 5);
  bad[16] = 5;
  EXPECT_EQ(QueryText(sys, bad, kFileVersion), "<none>");

  // A value length beyond the payload, even with bytes after the payload.
  bad = MakeBlock({{kFileVersion, "1, 2, 0, 5"}});
  const size_t lengthAt = kVersionHeaderSize + std::strlen(kFileVersion) + 1;
  bad[lengthAt] = 11;
  bad.push_back('x');
  EXPECT_EQ(QueryText(sys, bad, kFileVersion), "<none>");

  // Damage after the entry asked for still rejects the block.
  bad = StandardBlock("1, 2, 0, 5");
  bad.push_back('k');
  bad[16] += 1;
  EXPECT_EQ(QueryText(sys, bad, kTranslation), "<none>");

  EXPECT_FALSE(sys.QueryVersionValue(good, nullptr, nullptr, nullptr));
}

TEST(VersionBlockQuery, SurvivesEveryByteChange) {
  PosixSystemServices sys("/nonexistent");
  const std::vector<uint8_t> good = StandardBlock("1, 2, 0, 5");
  for (size_t at = 0; at < good.size(); ++at) {
    for (uint8_t v : {0x00, 0x01, 0x7F, 0x80, 0xFF}) {
      std::vector<uint8_t> changed = good;
      changed[at] = v;
      QueryText(sys, changed, kFileVersion);  // bounds are checked inside
      QueryText(sys, changed, kTranslation);
    }
  }
}

}  // namespace
}  // namespace vt
