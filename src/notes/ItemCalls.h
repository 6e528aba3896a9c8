// The item calls of NotesServices with the lengths taken from the texts, so
// that a name and its length can never disagree.
#pragma once

#include <cstring>

#include "notes/NotesServices.h"

namespace vt {

// A missing item is no error.
inline Status DeleteItem(NotesServices& notes, NoteHandle note,
                         const char* name) {
  return notes.DeleteItem(note, name, static_cast<uint16_t>(std::strlen(name)));
}

inline Status SetTextItem(NotesServices& notes, NoteHandle note,
                          const char* name, const char* text) {
  return notes.SetTextItem(note, name, text,
                           static_cast<uint16_t>(std::strlen(text)));
}

}  // namespace vt
