// Item values are arbitrary bytes; JsonText makes every string valid UTF-8.
#include "quarantine/QuarantineJson.h"

#include <string>

#include "datadir/ItemText.h"
#include "quarantine/MessagePreview.h"

namespace vt::tool {
namespace {

Json TextsJson(const std::vector<std::string>& texts) {
  Json list = Json::array();
  for (const std::string& text : texts) list.push_back(JsonText(text));
  return list;
}

Json SizeJson(const std::optional<uint64_t>& size) {
  return size ? Json(*size) : Json(nullptr);
}

// Per engine, in the order the scanner asked them; [] when never scanned.
Json ScanJson(const ScanEvidence& scan) {
  Json engines = Json::array();
  for (const EngineEvidence& e : scan.engines) {
    engines.push_back(Json{{"engine", JsonText(e.engine)},
                           {"score", JsonText(e.score)},
                           {"required", JsonText(e.required)},
                           {"action", JsonText(e.action)},
                           {"virus", JsonText(e.virus)},
                           {"rules", TextsJson(e.rules)}});
  }
  return engines;
}

}  // namespace

Json QuarantinedMessageJson(const QuarantinedMessage& m) {
  return Json{{"perimeter", std::string(1, m.perimeter)},
              {"database", JsonText(m.database)},
              {"noteId", m.noteId},
              {"unid", UnidText(m.unid)},
              {"date", IsoUtcText(m.created)},
              {"from", JsonText(m.from)},
              {"sendTo", JsonText(m.sendTo)},
              {"subject", JsonText(m.subject)},
              {"recipients", TextsJson(m.recipients)},
              {"size", SizeJson(m.size)},
              {"score", JsonText(ScoreSummary(m.scan))},
              {"scan", ScanJson(m.scan)}};
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
  const ScanEvidence scan = ScanEvidenceOf(note.items);
  const BodyPreview preview = PreviewOfNote(note.items);
  return Json{{"perimeter", std::string(1, note.hit.file.perimeter)},
              {"database", JsonText(note.hit.file.path)},
              {"noteId", note.hit.noteId},
              {"unid", UnidText(note.unid)},
              {"date", IsoUtcText(note.created)},
              {"recipients", TextsJson(RecipientsOf(note.items))},
              {"size", SizeJson(MessageSizeOf(note.items))},
              {"score", JsonText(ScoreSummary(scan))},
              {"scan", ScanJson(scan)},
              {"scanTime", JsonText(scan.time)},
              {"scanMillis", JsonText(scan.millis)},
              {"preview", Json{{"text", JsonText(preview.text)},
                               {"truncated", preview.truncated},
                               {"fromHtml", preview.fromHtml}}},
              {"items", std::move(items)},
              {"itemList", std::move(itemList)}};
}

}  // namespace vt::tool
