// Item values are arbitrary bytes; JsonText makes every string valid UTF-8.
#include "quarantine/QuarantineJson.h"

#include <string>

#include "datadir/ItemText.h"

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
  // By name, the first of a name as the store reads it; and every item in
  // the store's order, since a message may carry a name twice (a hostile
  // one, to show one Subject in the list and another here).
  Json items = Json::object();
  Json itemList = Json::array();
  for (const NoteItem& item : note.items) {
    const std::string name = JsonText(item.name);
    Json value = ItemJson(item);
    if (!items.contains(name)) items[name] = value;
    itemList.push_back(Json{{"name", name}, {"value", std::move(value)}});
  }
  return Json{{"perimeter", std::string(1, note.hit.file.perimeter)},
              {"database", JsonText(note.hit.file.path)},
              {"noteId", note.hit.noteId},
              {"unid", UnidText(note.unid)},
              {"date", IsoUtcText(note.created)},
              {"items", std::move(items)},
              {"itemList", std::move(itemList)}};
}

}  // namespace vt::tool
