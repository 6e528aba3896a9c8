// Finding messages in two places from the summary scans the listings make,
// and reading each such copy again through its universal ID.
#include "stats/TwoPlaces.h"

#include <algorithm>
#include <cstring>

#include "datadir/ItemText.h"
#include "datadir/MailItems.h"
#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

std::string TextOf(const std::vector<NoteItem>& items, const char* name) {
  const NoteItem* item = FindItem(items, name);
  return item == nullptr ? std::string() : DisplayValue(*item);
}

}  // namespace

Status ReadCopy(LocalNotesServices& server, DbHandle db,
                const UniversalId& unid, MessageCopy* copy) {
  uint32_t noteId = 0;
  uint32_t sequence = 0;
  Status s = server.GetNoteInfoByUnid(db, unid, &noteId, &sequence);
  if (!s.ok()) return s;
  if ((noteId & kDeletedNoteFlag) != 0) return err::kNotFound;
  bool found = false;
  ServerAdmin::ScanOptions options;
  options.summary = true;
  options.only = {&noteId, 1};
  s = server.ScanDocuments(
      db, options, [&](const ServerAdmin::Document& document) -> Status {
        found = true;
        copy->noteId = document.noteId;
        copy->sequence = document.sequence;
        copy->verified = TextOf(*document.summary, kItemVeltraneVerified);
        copy->verdict = TextOf(*document.summary, kItemKestoRouter);
        copy->released = TextOf(*document.summary, kItemAdminReleased);
        return Status();
      });
  if (!s.ok()) return s;
  if (!found) return err::kNotFound;
  return Status();
}

void TwoPlacesFinder::StartDatabase(const std::string& path) {
  databases_.push_back(path);
}

void TwoPlacesFinder::Add(const ServerAdmin::Document& document) {
  if (databases_.empty()) return;
  seen_.push_back(
      {document.unid, static_cast<uint32_t>(databases_.size() - 1)});
}

std::vector<MessageInTwoPlaces> TwoPlacesFinder::Finish(
    LocalNotesServices& server, const DatabaseRoles& roles) {
  // Byte order is all that matters: copies of one message come together.
  std::sort(seen_.begin(), seen_.end(), [](const Seen& a, const Seen& b) {
    const int order = std::memcmp(a.unid.data(), b.unid.data(), a.unid.size());
    return order != 0 ? order < 0 : a.database < b.database;
  });
  std::vector<MessageInTwoPlaces> found;
  for (size_t first = 0; first < seen_.size();) {
    size_t end = first + 1;
    while (end < seen_.size() && seen_[end].unid == seen_[first].unid) ++end;
    if (end - first < 2) {
      first = end;
      continue;
    }
    MessageInTwoPlaces message;
    message.unid = seen_[first].unid;
    for (size_t i = first; i < end; ++i) {
      const std::string& path = databases_[seen_[i].database];
      Database db(server);
      MessageCopy copy;
      copy.database = path;
      copy.role = roles.Of(path);
      if (db.Open(path).ok() &&
          ReadCopy(server, db.handle(), message.unid, &copy).ok()) {
        message.copies.push_back(std::move(copy));
      }
    }
    if (message.copies.size() > 1) found.push_back(std::move(message));
    first = end;
  }
  seen_.clear();
  seen_.shrink_to_fit();
  databases_.clear();
  return found;
}

std::string CopyText(const MessageCopy& copy) {
  std::string text = "version " + std::to_string(copy.sequence);
  const std::pair<const char*, const std::string*> items[] = {
      {kItemVeltraneVerified, &copy.verified},
      {kItemKestoRouter, &copy.verdict},
      {kItemAdminReleased, &copy.released}};
  for (const auto& [name, value] : items) {
    if (!value->empty()) {
      text += std::string(", ") + name + " \"" + Printable(*value) + "\"";
    }
  }
  return text;
}

}  // namespace vt::tool
