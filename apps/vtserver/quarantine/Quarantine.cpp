// Finding quarantine databases by the roll-over's naming, and reading their
// messages straight from the store's summary scan.
#include "quarantine/Quarantine.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <ctime>
#include <limits>

#include "base/Ascii.h"
#include "databases/RollOver.h"
#include "datadir/ItemText.h"
#include "datadir/MailItems.h"
#include "notes/FixedText.h"
#include "notes/HandleOwners.h"

namespace vt::tool {
namespace {

namespace fs = std::filesystem;

// Whether name belongs to the roll-over series of configured: the name a
// roll-over gives that number, or the series' first name without one.
bool InSeries(const std::string& configured, const std::string& name,
              uint32_t* number) {
  const int64_t n = RollOverNumber(name.c_str());
  if (n < 0 || n > std::numeric_limits<uint32_t>::max()) return false;
  FixedText<kPathSize> expected;
  if (!NumberedName(configured.c_str(), n, expected.span())) return false;
  if (!EqualsIgnoreCase(expected.view(), name)) return false;
  *number = static_cast<uint32_t>(n);
  return true;
}

// By number, from first on.
void SortSeries(std::vector<QuarantineFile>* files, size_t first) {
  std::sort(files->begin() + static_cast<std::ptrdiff_t>(first), files->end(),
            [](const QuarantineFile& a, const QuarantineFile& b) {
              return a.number != b.number ? a.number < b.number
                                          : a.path < b.path;
            });
}

// The series of a quarantine on another server, or on this one when its
// databases live in PostgreSQL: listed there, and named as a tool opens
// them ("server!!path" on another server).
void AddListedSeries(const LocalNotesServices& server,
                     const PerimeterSettings& p,
                     std::vector<QuarantineFile>* files) {
  std::string prefix;
  std::string configured = p.path;
  const size_t bang = configured.find("!!");
  if (bang != std::string::npos) {
    prefix = configured.substr(0, bang + 2);
    configured.erase(0, bang + 2);
  }
  std::replace(configured.begin(), configured.end(), '\\', '/');
  configured.erase(0, configured.find_first_not_of('/'));
  const size_t cut = configured.rfind('/');
  const std::string folder =
      cut == std::string::npos ? "" : configured.substr(0, cut + 1);
  const std::string configuredName = configured.substr(folder.size());
  const size_t first = files->size();
  files->push_back({p.letter, prefix + configured,
                    static_cast<uint32_t>(std::max<int64_t>(
                        0, RollOverNumber(configuredName.c_str()))),
                    true});
  std::vector<std::string> listed;
  const std::string serverName =
      prefix.empty() ? std::string() : prefix.substr(0, prefix.size() - 2);
  if (!server.ListDatabases(serverName, &listed).ok()) return;
  for (const std::string& path : listed) {
    if (path.size() <= folder.size() ||
        path.compare(0, folder.size(), folder) != 0) {
      continue;
    }
    const std::string name = path.substr(folder.size());
    uint32_t number = 0;
    if (name.find('/') != std::string::npos || name == configuredName ||
        !InSeries(configuredName, name, &number)) {
      continue;
    }
    files->push_back({p.letter, prefix + path, number, false});
  }
  SortSeries(files, first);
}

void AddSeries(const LocalNotesServices& server, const PerimeterSettings& p,
               std::vector<QuarantineFile>* files) {
  if (p.path.find("!!") != std::string::npos ||
      !server.serverIni().databases().empty()) {
    AddListedSeries(server, p, files);
    return;
  }
  const fs::path& root = server.dataDirectory().root();
  fs::path configured;
  if (p.path.empty() ||
      !server.dataDirectory().Resolve(p.path, &configured).ok()) {
    return;
  }
  const std::string configuredName = configured.filename().string();
  const size_t first = files->size();
  files->push_back({p.letter,
                    configured.lexically_relative(root).generic_string(),
                    static_cast<uint32_t>(std::max<int64_t>(
                        0, RollOverNumber(configuredName.c_str()))),
                    true});
  std::error_code ec;
  for (fs::directory_iterator it(configured.parent_path(), ec), end;
       !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name == configuredName || !it->is_regular_file(ec)) continue;
    uint32_t number = 0;
    if (!InSeries(configuredName, name, &number)) continue;
    files->push_back({p.letter,
                      it->path().lexically_relative(root).generic_string(),
                      number, false});
  }
  SortSeries(files, first);
}

std::string TextOf(const std::vector<NoteItem>& items, const char* name) {
  const NoteItem* item = FindItem(items, name);
  return item == nullptr ? std::string() : DisplayValue(*item);
}

}  // namespace

std::vector<QuarantineFile> QuarantineFiles(const LocalNotesServices& server,
                                            const RouterSettings& settings,
                                            char letter) {
  std::vector<QuarantineFile> files;
  for (const PerimeterSettings& p : settings.perimeters) {
    if (letter != 0 && FindPerimeter(settings, letter) != &p) continue;
    AddSeries(server, p, &files);
  }
  return files;
}

Outcome ForEachQuarantined(
    NotesServices& notes, ServerAdmin& admin, const QuarantineFile& file,
    const std::function<void(const QuarantinedMessage&)>& visit) {
  Database db(notes);
  Status s = db.Open(file.path);
  if (s.Is(err::kFileNotFound)) return Outcome();
  if (!s.ok()) return StatusFailure("cannot open " + file.path, s);
  QuarantinedMessage message;
  message.perimeter = file.perimeter;
  message.database = file.path;
  ServerAdmin::ScanOptions options;
  options.summary = true;
  s = admin.ScanDocuments(
      db.handle(), options,
      [&](const ServerAdmin::Document& document) -> Status {
        message.noteId = document.noteId;
        message.unid = document.unid;
        message.created = document.created;
        message.from = TextOf(*document.summary, kItemFrom);
        message.sendTo = TextOf(*document.summary, kItemSendTo);
        message.subject = TextOf(*document.summary, kItemSubject);
        message.recipients = RecipientsOf(*document.summary);
        message.size = MessageSizeOf(*document.summary);
        message.scan = ScanEvidenceOf(*document.summary);
        visit(message);
        return Status();
      });
  if (!s.ok()) return StatusFailure("cannot read " + file.path, s);
  return Outcome();
}

bool Matches(const QuarantineQuery& query, const QuarantinedMessage& m) {
  if (query.since && m.created < *query.since) return false;
  if (query.before && m.created >= *query.before) return false;
  if (!ContainsIgnoreCase(m.from, query.from)) return false;
  if (!ContainsIgnoreCase(m.subject, query.subject)) return false;
  if (query.to.empty()) return true;
  return std::any_of(m.recipients.begin(), m.recipients.end(),
                     [&](const std::string& recipient) {
                       return ContainsIgnoreCase(recipient, query.to);
                     });
}

bool Narrows(const QuarantineQuery& query) {
  return !query.from.empty() || !query.subject.empty() || !query.to.empty() ||
         query.since || query.before;
}

bool ParseUtcDate(const std::string& text, int64_t* centis) {
  for (const char* format : {"%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S",
                             "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M", "%Y-%m-%d"}) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), format, &tm);
    if (end != nullptr && *end == '\0') {
      *centis = static_cast<int64_t>(timegm(&tm)) * 100;
      return true;
    }
  }
  return false;
}

Outcome ListQuarantined(LocalNotesServices& server,
                        const std::vector<QuarantineFile>& files,
                        const QuarantineQuery& query, QuarantinePage* page) {
  auto newer = [](const QuarantinedMessage& a, const QuarantinedMessage& b) {
    if (a.created != b.created) return a.created > b.created;
    if (a.database != b.database) return a.database > b.database;
    return a.noteId > b.noteId;
  };
  // Only the newest offset + limit are kept, in a heap whose front is the
  // oldest of them: a page of a quarantine of 100,000 holds 50.
  const size_t keep = query.limit == 0 ? std::numeric_limits<size_t>::max()
                                       : query.offset + query.limit;
  std::vector<QuarantinedMessage> kept;
  size_t total = 0;
  for (const QuarantineFile& file : files) {
    const Outcome outcome = ForEachQuarantined(
        server, server, file, [&](const QuarantinedMessage& m) {
          if (!Matches(query, m)) return;
          ++total;
          if (kept.size() < keep) {
            kept.push_back(m);
            std::push_heap(kept.begin(), kept.end(), newer);
          } else if (keep > 0 && newer(m, kept.front())) {
            std::pop_heap(kept.begin(), kept.end(), newer);
            kept.back() = m;
            std::push_heap(kept.begin(), kept.end(), newer);
          }
        });
    if (!outcome.ok()) return outcome;
  }
  std::sort_heap(kept.begin(), kept.end(), newer);
  page->total = total;
  const size_t first = std::min(query.offset, kept.size());
  page->messages.assign(std::make_move_iterator(kept.begin() + first),
                        std::make_move_iterator(kept.end()));
  return Outcome();
}

Outcome MatchingIds(LocalNotesServices& server,
                    const std::vector<QuarantineFile>& files,
                    QuarantineQuery query, std::vector<std::string>* ids) {
  query.offset = 0;
  query.limit = 0;
  QuarantinePage page;
  const Outcome outcome = ListQuarantined(server, files, query, &page);
  if (!outcome.ok()) return outcome;
  ids->clear();
  for (const QuarantinedMessage& m : page.messages) {
    ids->push_back(UnidText(m.unid));
  }
  return Outcome();
}

std::string UnidText(const UniversalId& unid) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(unid.size() * 2);
  for (const uint8_t byte : unid) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0xF]);
  }
  return text;
}

bool ParseUnid(std::string_view text, UniversalId* unid) {
  if (text.size() != unid->size() * 2) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < unid->size(); ++i) {
    const int high = nibble(text[2 * i]);
    const int low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*unid)[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

Outcome FindQuarantined(NotesServices& notes,
                        const std::vector<QuarantineFile>& files,
                        const UniversalId& unid,
                        std::optional<QuarantineHit>* hit) {
  hit->reset();
  for (const QuarantineFile& file : files) {
    Database db(notes);
    Status s = db.Open(file.path);
    if (s.Is(err::kFileNotFound)) continue;
    if (!s.ok()) return StatusFailure("cannot open " + file.path, s);
    uint32_t noteId = 0;
    uint32_t sequence = 0;
    s = notes.GetNoteInfoByUnid(db.handle(), unid, &noteId, &sequence);
    if (s.Is(err::kNotFound)) continue;
    if (!s.ok()) return StatusFailure("cannot search " + file.path, s);
    if ((noteId & kDeletedNoteFlag) != 0) continue;
    *hit = QuarantineHit{file, noteId};
    return Outcome();
  }
  return Outcome();
}

Outcome FindQuarantinedById(NotesServices& notes,
                            const std::vector<QuarantineFile>& files,
                            const std::string& id, UniversalId* unid,
                            std::optional<QuarantineHit>* hit) {
  hit->reset();
  if (!ParseUnid(id, unid)) {
    return Outcome::Failure(id + ": not a universal ID (32 hexadecimal digits)",
                            Outcome::Kind::kBadRequest);
  }
  const Outcome outcome = FindQuarantined(notes, files, *unid, hit);
  if (!outcome.ok()) {
    return Outcome::Failure(id + ": " + outcome.message(), outcome.kind());
  }
  return Outcome();
}

Outcome ReadQuarantinedNote(LocalNotesServices& server,
                            const std::vector<QuarantineFile>& files,
                            const std::string& id, QuarantinedNote* note) {
  std::optional<QuarantineHit> hit;
  const Outcome outcome =
      FindQuarantinedById(server, files, id, &note->unid, &hit);
  if (!outcome.ok()) return outcome;
  if (!hit) {
    return Outcome::Failure(id + ": no quarantined message has this ID",
                            Outcome::Kind::kNotFound);
  }
  note->hit = *hit;
  Database db(server);
  Note opened(server);
  Status s = db.Open(hit->file.path);
  if (s.ok()) s = opened.Open(db.handle(), hit->noteId);
  ServerAdmin::NoteContents contents;
  if (s.ok()) s = server.ReadNote(opened.handle(), &contents);
  if (!s.ok()) {
    return StatusFailure(id + ": cannot read it in " + hit->file.path, s);
  }
  note->created = contents.created;
  note->items = std::move(contents.items);
  return Outcome();
}

}  // namespace vt::tool
