// Owners for the platform handles, so that every database, note, compiled
// formula and collection is released on every way out, by the router and the
// server's tools alike.
#pragma once

#include <cstdint>
#include <string>

#include "notes/NotesServices.h"

namespace vt {

class Database {
 public:
  explicit Database(NotesServices& notes) : notes_(notes) {}
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database() { Close(); }

  Status Open(const std::string& path);
  void Close();
  DbHandle handle() const { return handle_; }

 private:
  NotesServices& notes_;
  DbHandle handle_;
};

class Note {
 public:
  explicit Note(NotesServices& notes) : notes_(notes) {}
  Note(const Note&) = delete;
  Note& operator=(const Note&) = delete;
  ~Note() { Close(); }

  Status Open(DbHandle db, uint32_t noteId);
  Status Create(DbHandle db);
  void Close();
  NoteHandle handle() const { return handle_; }

 private:
  NotesServices& notes_;
  NoteHandle handle_;
};

// A compiled formula in platform memory.
class CompiledFormula {
 public:
  explicit CompiledFormula(NotesServices& notes) : notes_(notes) {}
  CompiledFormula(const CompiledFormula&) = delete;
  CompiledFormula& operator=(const CompiledFormula&) = delete;
  ~CompiledFormula();

  // name: the column name the formula's value is summarised under, or null.
  Status Compile(const char* name, const std::string& text);
  MemHandle handle() const { return handle_; }
  uint16_t length() const { return length_; }

 private:
  NotesServices& notes_;
  MemHandle handle_;
  uint16_t length_ = 0;
};

class Collection {
 public:
  explicit Collection(NotesServices& notes) : notes_(notes) {}
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;
  ~Collection();

  Status Open(DbHandle db, uint32_t viewNoteId);
  CollectionHandle handle() const { return handle_; }

 private:
  NotesServices& notes_;
  CollectionHandle handle_;
};

// Platform memory handed back by a call (ReadEntries), freed on the way out.
class ReturnedMemory {
 public:
  explicit ReturnedMemory(NotesServices& notes) : notes_(notes) {}
  ReturnedMemory(const ReturnedMemory&) = delete;
  ReturnedMemory& operator=(const ReturnedMemory&) = delete;
  ~ReturnedMemory() {
    if (handle_) notes_.FreeMemory(handle_);
  }

  MemHandle* place() { return &handle_; }
  MemHandle handle() const { return handle_; }

 private:
  NotesServices& notes_;
  MemHandle handle_;
};

}  // namespace vt
