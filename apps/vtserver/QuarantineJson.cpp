// Item values are arbitrary bytes; JsonText makes every string valid UTF-8.
#include "QuarantineJson.h"

#include <string>

#include "ItemText.h"

namespace vt::tool {

Json QuarantinedMessageJson(const QuarantinedMessage& m) {
  return Json{{"perimeter", std::string(1, m.perimeter)},
              {"database", JsonText(m.database)},
              {"noteId", m.noteId},
              {"unid", UnidText(m.unid)},
              {"date", IsoUtcText(m.created)},
              {"from", JsonText(m.from)},
              {"sendTo", JsonText(m.sendTo)},
              {"subject", JsonText(m.subject)}};
}

Json QuarantinedNoteJson(const QuarantinedNote& note) {
  Json items = Json::object();
  for (const store::Item& item : note.items) {
    items[JsonText(item.name)] = ItemJson(item);
  }
  return Json{{"perimeter", std::string(1, note.hit.file.perimeter)},
              {"database", JsonText(note.hit.file.path)},
              {"noteId", note.hit.noteId},
              {"unid", UnidText(note.unid)},
              {"date", IsoUtcText(note.created)},
              {"items", std::move(items)}};
}

}  // namespace vt::tool
