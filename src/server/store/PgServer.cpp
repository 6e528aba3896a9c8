// The databases of a server in PostgreSQL; see PgServer.h.
#include "server/store/PgServer.h"

#include "notes/DbInfoText.h"
#include "server/store/PgDatabase.h"
#include "server/store/PgLayout.h"
#include "server/store/Unid.h"

namespace vt::store {

Status PgServer::NameOf(std::string_view path, std::string* name) {
  name->clear();
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "." || part == "..") return err::kPathOutsideData;
    if (!part.empty()) {
      if (!name->empty()) name->push_back('/');
      name->append(part);
    }
    start = end + 1;
  }
  return name->empty() ? Status(err::kInvalidArgument) : Status();
}

Status PgServer::EnsureSchema() {
  // Once per connection made: a server restarted from a backup may have
  // lost the tables along with everything else.
  if (schemaCheckedAt_ == connection_.reconnects()) return Status();
  PgResult row;
  Status s = connection_.Exec("SELECT to_regclass('vt_stubs') IS NOT NULL",
                              PgParams(), &row);
  if (!s.ok()) return s;
  const bool present =
      row.rows() > 0 && row.Bytes(0, 0).size() == 1 && row.Bytes(0, 0)[0] != 0;
  if (!present) {
    // Two routers starting at once make them once: the advisory lock
    // orders them, and IF NOT EXISTS lets the second pass.
    s = connection_.Begin();
    if (s.ok()) s = connection_.Exec("SELECT pg_advisory_xact_lock(5665)");
    if (s.ok()) s = connection_.Exec(kPgSchema);
    if (s.ok()) s = connection_.Commit();
    if (!s.ok()) {
      connection_.Rollback();
      return s;
    }
  }
  s = connection_.Exec("SELECT value FROM vt_meta WHERE key = 'layout'",
                       PgParams(), &row);
  if (!s.ok()) return s;
  if (row.rows() == 0) return err::kCorruptDatabase;
  if (row.Int(0, 0) > kPgLayout) return err::kNewerFormat;
  schemaCheckedAt_ = connection_.reconnects();
  return Status();
}

Status PgServer::CurrentId(const std::string& name, int64_t* id) {
  *id = 0;
  PgResult row;
  const Status s =
      connection_.Exec("SELECT id FROM vt_databases WHERE name = $1",
                       PgParams().Text(name), &row);
  if (!s.ok()) return s;
  if (row.rows() > 0) *id = row.Int(0, 0);
  return Status();
}

Status PgServer::Open(const std::string& name,
                      std::unique_ptr<NsfDatabase>* out) {
  Status s = EnsureSchema();
  if (!s.ok()) return s;
  PgResult row;
  s = connection_.Exec("SELECT id, identity FROM vt_databases WHERE name = $1",
                       PgParams().Text(name), &row);
  if (!s.ok()) return s;
  if (row.rows() == 0) return err::kFileNotFound;
  Unid identity{};
  const std::span<const uint8_t> bytes = row.Bytes(0, 1);
  if (bytes.size() != identity.size()) return err::kCorruptDatabase;
  std::copy(bytes.begin(), bytes.end(), identity.begin());
  *out = std::make_unique<PgDatabase>(shared_from_this(), name, row.Int(0, 0),
                                      identity);
  return Status();
}

Status PgServer::Create(const std::string& name, uint16_t dbClass,
                        int64_t nowCentis, const NsfDatabase::Filler& fill) {
  Status s = EnsureSchema();
  if (!s.ok()) return s;
  s = connection_.Begin();
  if (!s.ok()) return s;
  const Unid identity = NewUnid();
  const std::vector<uint8_t> emptyInfo(kDbInfoSize, 0);
  PgResult row;
  s = connection_.Exec(
      "INSERT INTO vt_databases(name, class, info, settings, nextid, identity)"
      " VALUES($1, $2, $3, ''::bytea, $4, $5) ON CONFLICT (name) DO NOTHING"
      " RETURNING id",
      PgParams()
          .Text(name)
          .Int(dbClass)
          .Bytes(emptyInfo)
          .Int(kFirstNoteId)
          .Bytes(identity),
      &row);
  if (s.ok() && row.rows() == 0) s = err::kFileExists;
  if (s.ok()) {
    // Everything in the one transaction: the database appears complete.
    PgDatabase fresh(shared_from_this(), name, row.Int(0, 0), identity);
    fresh.JoinCreation(true);
    if (fill) s = fill(fresh);
    if (s.ok()) s = fresh.EnsureIconNote(nowCentis);
  }
  if (s.ok()) s = connection_.Commit();
  if (!s.ok()) connection_.Rollback();
  return s;
}

Status PgServer::Remove(const std::string& name) {
  Status s = EnsureSchema();
  if (!s.ok()) return s;
  PgResult row;
  s = connection_.Exec("DELETE FROM vt_databases WHERE name = $1 RETURNING id",
                       PgParams().Text(name), &row);
  if (!s.ok()) return s;
  return row.rows() > 0 ? Status() : Status(err::kFileNotFound);
}

Status PgServer::List(std::vector<std::string>* names) {
  names->clear();
  Status s = EnsureSchema();
  if (!s.ok()) return s;
  PgResult rows;
  s = connection_.Exec("SELECT name FROM vt_databases ORDER BY name",
                       PgParams(), &rows);
  for (int r = 0; s.ok() && r < rows.rows(); ++r) {
    names->push_back(rows.Text(r, 0));
  }
  return s;
}

}  // namespace vt::store
