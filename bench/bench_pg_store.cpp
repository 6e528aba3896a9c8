// The PostgreSQL store against its baselines, in one run, on a private
// cluster over a Unix socket of its own (as the tests start it; run as root,
// the cluster runs as the user postgres):
//   (a) interception: the router's own move (MoveOneMessage) of N messages
//       out of a mail box file into a scan box, the scan box a SQLite file
//       against the scan box in PostgreSQL;
//   (b) a move within PostgreSQL (scan box to quarantine, copy and deletion
//       in one transaction) against plain libpq doing the same row move,
//       INSERT ... SELECT and DELETE in one transaction per message.
// Both sides of each pair run in alternating slices, so that other load on
// the machine slows both alike. The cluster runs with fsync off (as in the
// tests); each commit still waits for PostgreSQL's WAL write.
//
//   bench_pg_store [N]     N messages of about 2 KB (default 2000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "engine/MessageMover.h"
#include "server/store/PgConnection.h"
#include "support/PrivatePostgres.h"

namespace {

using vt::bench::Check;
using vt::bench::ScratchDir;
using vt::bench::SteadyClock;
namespace fs = std::filesystem;

constexpr int kSlices = 10;
constexpr char kStore[] = "Store/Example!!";

double Seconds(SteadyClock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// A server with a mail box file and a scan box and quarantine on the store
// asked for ("" for files, kStore for PostgreSQL).
class Side {
 public:
  bool Setup(const fs::path& dir, const std::string& uri, const char* prefix,
             int count) {
    fs::create_directories(dir);
    {
      std::ofstream ini(dir / "server.ini");
      ini << "ServerName=CN=Bench/O=Example\n[Servers]\nStore/Example=" << uri
          << "\n";
    }
    server_ = std::make_unique<vt::LocalNotesServices>(
        vt::LocalNotesServicesOptions{dir, nullptr, false});
    const std::string scan = std::string(prefix) + "scan.box";
    const std::string quarantine = std::string(prefix) + "quarantine.nsf";
    if (!Check(server_->Start(), "Start") ||
        !Check(server_->CreateDatabase("mail.box", 0, false), "mail.box") ||
        !Check(server_->CreateDatabase(scan.c_str(), 0, false), "scan box") ||
        !Check(server_->CreateDatabase(quarantine.c_str(), 0, false),
               "quarantine") ||
        !vt::bench::FillDatabase(*server_, "mail.box", 0, count, {}) ||
        !Check(server_->OpenDatabase("mail.box", &mail_), "open") ||
        !Check(server_->OpenDatabase(scan.c_str(), &scan_), "open") ||
        !Check(server_->OpenDatabase(quarantine.c_str(), &quarantine_),
               "open")) {
      return false;
    }
    return Ids(mail_, &ids_);
  }

  // Moves the next `count` messages from one database to the other.
  bool Move(vt::DbHandle from, vt::DbHandle to, size_t* next, int count,
            SteadyClock::duration* spent) {
    const SteadyClock::time_point start = SteadyClock::now();
    for (int i = 0; i < count && *next < ids_.size(); ++i, ++*next) {
      vt::DbHandle target;
      if (!Check(
              vt::MoveOneMessage(*server_, from, ids_[*next], to, {}, &target),
              "move")) {
        return false;
      }
    }
    *spent += SteadyClock::now() - start;
    return true;
  }

  bool Intercept(int count, SteadyClock::duration* spent) {
    return Move(mail_, scan_, &intercepted_, count, spent);
  }
  // After interception: the scan box's messages into the quarantine.
  bool Quarantine(int count, SteadyClock::duration* spent) {
    if (quarantined_ == 0 && intercepted_ > 0 && !Ids(scan_, &ids_)) {
      return false;
    }
    return Move(scan_, quarantine_, &quarantined_, count, spent);
  }

 private:
  bool Ids(vt::DbHandle db, std::vector<uint32_t>* ids) {
    ids->clear();
    return Check(vt::LocalStoreAccess::Database(*server_, db)
                     ->ForEachNote(vt::kNoteClassDocument,
                                   [&](const vt::store::ScanEntry& e) {
                                     ids->push_back(e.id);
                                     return vt::Status();
                                   }),
                 "scan");
  }

  std::unique_ptr<vt::LocalNotesServices> server_;
  vt::DbHandle mail_, scan_, quarantine_;
  std::vector<uint32_t> ids_;
  size_t intercepted_ = 0;
  size_t quarantined_ = 0;
};

// Plain libpq: the same rows moved between two tables of the layout's shape,
// one transaction per message.
class PlainPg {
 public:
  explicit PlainPg(const std::string& uri) : connection_(uri) {}

  bool Setup(int count) {
    vt::store::PgResult ignored;
    vt::Status s = connection_.Exec(
        "DROP TABLE IF EXISTS plain_from, plain_to;"
        "CREATE TABLE plain_from(id bigint PRIMARY KEY, unid bytea NOT NULL"
        " UNIQUE, summary bytea NOT NULL, items bytea);"
        "CREATE TABLE plain_to(id bigint PRIMARY KEY, unid bytea NOT NULL"
        " UNIQUE, summary bytea NOT NULL, items bytea);");
    for (int i = 0; s.ok() && i < count; ++i) {
      const vt::store::NoteRecord note = vt::bench::Message(i, {});
      std::vector<uint8_t> summary, other;
      note.items.Serialize(&summary, &other);
      s = connection_.Exec("INSERT INTO plain_from VALUES($1, $2, $3, $4)",
                           vt::store::PgParams()
                               .Int(4 * (i + 1))
                               .Bytes(note.unid)
                               .Bytes(summary)
                               .Bytes(other),
                           &ignored);
    }
    return Check(s, "plain set-up");
  }

  bool Move(int count, SteadyClock::duration* spent) {
    const SteadyClock::time_point start = SteadyClock::now();
    vt::store::PgResult ignored;
    for (int i = 0; i < count; ++i, ++next_) {
      const int64_t id = 4 * (next_ + 1);
      vt::Status s = connection_.Begin();
      if (s.ok()) {
        s = connection_.Exec(
            "INSERT INTO plain_to SELECT * FROM plain_from WHERE id = $1",
            vt::store::PgParams().Int(id), &ignored);
      }
      if (s.ok()) {
        s = connection_.Exec("DELETE FROM plain_from WHERE id = $1",
                             vt::store::PgParams().Int(id), &ignored);
      }
      if (s.ok()) s = connection_.Commit();
      if (!Check(s, "plain move")) return false;
    }
    *spent += SteadyClock::now() - start;
    return true;
  }

 private:
  vt::store::PgConnection connection_;
  int next_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
  if (count < kSlices) {
    std::fprintf(stderr, "usage: bench_pg_store [N >= %d]\n", kSlices);
    return 2;
  }
  vt::testing::PrivatePostgres postgres;
  std::string problem;
  if (!postgres.Start(&problem) || !postgres.CreateDatabase("vtbench")) {
    std::fprintf(stderr, "PostgreSQL: %s\n", problem.c_str());
    return 1;
  }
  const std::string uri = postgres.Uri("vtbench");
  ScratchDir scratch;
  Side files, pg;
  PlainPg plain(uri);
  if (!files.Setup(scratch.path() / "files", uri, "", count) ||
      !pg.Setup(scratch.path() / "pg", uri, kStore, count) ||
      !plain.Setup(count)) {
    return 1;
  }

  const int slice = count / kSlices;
  SteadyClock::duration onFiles{}, onPg{}, withinPg{}, plainPg{};
  for (int i = 0; i < kSlices; ++i) {
    if (!files.Intercept(slice, &onFiles) || !pg.Intercept(slice, &onPg)) {
      return 1;
    }
  }
  for (int i = 0; i < kSlices; ++i) {
    if (!pg.Quarantine(slice, &withinPg) || !plain.Move(slice, &plainPg)) {
      return 1;
    }
  }
  const int moved = slice * kSlices;
  const auto rate = [moved](SteadyClock::duration d) {
    return moved / Seconds(d);
  };
  std::printf("%d messages of about 2 KB, in %d alternating slices\n", moved,
              kSlices);
  std::printf(
      "(a) interception, mail box file into a scan box:\n"
      "    scan box a SQLite file      %8.0f messages/s\n"
      "    scan box in PostgreSQL      %8.0f messages/s   ratio %.2f\n",
      rate(onFiles), rate(onPg), rate(onPg) / rate(onFiles));
  std::printf(
      "(b) a move within PostgreSQL, scan box to quarantine:\n"
      "    the store (one transaction) %8.0f messages/s\n"
      "    plain libpq copy+delete     %8.0f messages/s   ratio %.2f\n",
      rate(withinPg), rate(plainPg), rate(withinPg) / rate(plainPg));
  return 0;
}
