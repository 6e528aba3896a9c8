// The tables of the PostgreSQL store. Every database of a server shares
// them: vt_databases holds a row per database (its records, the next note
// ID, the last change number and the space its notes take), vt_notes and
// vt_stubs a row per note and per deletion stub, tagged with the database.
// Internal to the store.
#pragma once

namespace vt::store {

// The layout these tables follow; kept in vt_meta.
inline constexpr int kPgLayout = 1;

inline constexpr char kPgSchema[] =
    "CREATE TABLE IF NOT EXISTS vt_meta(key text PRIMARY KEY,"
    " value bigint NOT NULL);"
    "CREATE TABLE IF NOT EXISTS vt_databases("
    " id bigserial PRIMARY KEY, name text NOT NULL UNIQUE,"
    " class bigint NOT NULL, info bytea NOT NULL, settings bytea NOT NULL,"
    " nextid bigint NOT NULL, lastchange bigint NOT NULL DEFAULT 0,"
    " used bigint NOT NULL DEFAULT 0, identity bytea NOT NULL);"
    "CREATE TABLE IF NOT EXISTS vt_notes("
    " db bigint NOT NULL REFERENCES vt_databases ON DELETE CASCADE,"
    " id bigint NOT NULL, unid bytea NOT NULL, class bigint NOT NULL,"
    " created bigint NOT NULL, modified bigint NOT NULL,"
    " sequence bigint NOT NULL, summary bytea NOT NULL, items bytea,"
    " changed bigint NOT NULL, added bigint NOT NULL,"
    " PRIMARY KEY(db, id), UNIQUE(db, unid));"
    "CREATE INDEX IF NOT EXISTS vt_notes_changed ON vt_notes(db, changed, id);"
    "CREATE TABLE IF NOT EXISTS vt_stubs("
    " db bigint NOT NULL REFERENCES vt_databases ON DELETE CASCADE,"
    " id bigint NOT NULL, unid bytea NOT NULL, class bigint NOT NULL,"
    " deleted bigint NOT NULL, sequence bigint NOT NULL,"
    " changed bigint NOT NULL, PRIMARY KEY(db, id));"
    "CREATE INDEX IF NOT EXISTS vt_stubs_unid ON vt_stubs(db, unid);"
    "CREATE INDEX IF NOT EXISTS vt_stubs_changed ON vt_stubs(db, changed);"
    "INSERT INTO vt_meta VALUES('layout', 1) ON CONFLICT DO NOTHING;";

// What a deletion stub counts for in a database's space.
inline constexpr int64_t kPgStubBytes = 64;

}  // namespace vt::store
