// The stores a contract test runs on; see StoreKinds.h.
#include "support/StoreKinds.h"

#include <cctype>
#include <functional>

namespace vt::testing {

std::string StoreKindName(const ::testing::TestParamInfo<StoreKind>& info) {
  return info.param == StoreKind::kFile ? "File" : "Postgres";
}

void StoreUnderTest::Prepare(StoreKind kind, const TempDataDir& dir,
                             std::string_view extraIni,
                             std::string_view uriExtra) {
  kind_ = kind;
  std::string ini = "ServerName=" + std::string(TempDataDir::kDefaultServer) +
                    "\n" + std::string(extraIni);
  if (kind == StoreKind::kPostgres) {
    std::string problem;
    postgres_ = SharedPostgres(&problem);
    ASSERT_NE(postgres_, nullptr) << problem;
    // Named after the test, within PostgreSQL's 63 bytes.
    const ::testing::TestInfo* test =
        ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string full =
        std::string(test->test_suite_name()) + "." + test->name();
    database_ = "vt" + std::to_string(std::hash<std::string>()(full) % 1000000);
    for (const char c : full) {
      if (database_.size() >= 60) break;
      if (std::isalnum(static_cast<unsigned char>(c))) {
        database_.push_back(static_cast<char>(std::tolower(c)));
      }
    }
    ASSERT_TRUE(postgres_->CreateDatabase(database_)) << database_;
    ini += "\n[Servers]\n" + std::string(kServer) + "=" +
           postgres_->Uri(database_) +
           (uriExtra.empty() ? "" : "&" + std::string(uriExtra)) + "\n";
  }
  dir.WriteIni(ini);
}

std::string StoreUnderTest::Path(std::string_view name) const {
  if (kind_ == StoreKind::kFile) return std::string(name);
  return std::string(kServer) + "!!" + std::string(name);
}

}  // namespace vt::testing
