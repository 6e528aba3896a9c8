// Another process holding a database's write lock, as a busy neighbour of the
// router would: it takes the lock (BEGIN IMMEDIATE), says "held" on standard
// output, and keeps it until it is ended. Nothing is ever written.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DATABASE-FILE\n", argv[0]);
    return 2;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) !=
      SQLITE_OK) {
    std::fprintf(stderr, "cannot open %s\n", argv[1]);
    return 1;
  }
  sqlite3_busy_timeout(db, 10000);
  if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) !=
      SQLITE_OK) {
    std::fprintf(stderr, "cannot lock %s: %s\n", argv[1], sqlite3_errmsg(db));
    return 1;
  }
  std::printf("held\n");
  std::fflush(stdout);
  // The lock goes with the process, whichever signal ends it.
  for (;;) pause();
}
