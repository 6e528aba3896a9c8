// `vtserver ls DIR [PATH] [--json]`: the databases of this server and of the
// servers kept in PostgreSQL, or the documents of one of them with their
// routing items.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "DataDirCommand.h"
#include "datadir/Databases.h"
#include "datadir/ItemText.h"
#include "datadir/JsonOut.h"

namespace vt::tool {
namespace {

void Emit(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// A value for the plain listing: quoted and escaped as a JSON string, so
// that no byte of an item can break the line or fake another item.
std::string Quoted(const NoteItem& item) {
  return Json(JsonText(DisplayValue(item))).dump();
}

void PrintDatabases(const std::vector<DatabaseSummary>& databases, bool json) {
  if (json) {
    Json list = Json::array();
    for (const DatabaseSummary& d : databases) {
      Json entry = {{"path", JsonText(d.path)},
                    {"title", JsonText(d.title)},
                    {"documents", d.documents}};
      if (!d.problem.empty()) entry["error"] = JsonText(d.problem);
      list.push_back(std::move(entry));
    }
    PrintJson(list);
    return;
  }
  if (databases.empty()) {
    Emit("no databases\n");
    return;
  }
  size_t width = 4;
  for (const DatabaseSummary& d : databases)
    width = std::max(width, d.path.size());
  auto pad = [width](std::string text) {
    text.resize(width, ' ');
    return text;
  };
  std::string out = pad("PATH") + "  DOCUMENTS  TITLE\n";
  for (const DatabaseSummary& d : databases) {
    char count[16];
    std::snprintf(count, sizeof count, "%9u", d.documents);
    out.append(pad(d.path) + "  " + count + "  ");
    out.append(d.problem.empty() ? d.title : "(" + d.problem + ")");
    out.push_back('\n');
  }
  Emit(out);
}

void PrintDocuments(const std::vector<DocumentSummary>& documents, bool json) {
  if (json) {
    Json list = Json::array();
    for (const DocumentSummary& d : documents) {
      Json items = Json::object();
      for (const NoteItem& item : d.items) {
        items[JsonText(item.name)] = ItemJson(item);
      }
      list.push_back({{"noteId", d.noteId}, {"items", std::move(items)}});
    }
    PrintJson(list);
    return;
  }
  if (documents.empty()) {
    Emit("no documents\n");
    return;
  }
  std::string out;
  for (const DocumentSummary& d : documents) {
    std::string line = NoteIdText(d.noteId);
    line.resize(std::max<size_t>(line.size() + 2, 12), ' ');
    for (size_t k = 0; k < d.items.size(); ++k) {
      if (k > 0) line.append("  ");
      line.append(d.items[k].name);
      line.push_back('=');
      line.append(Quoted(d.items[k]));
    }
    line.push_back('\n');
    out.append(line);
  }
  Emit(out);
}

class LsCommand : public DataDirCommand {
 public:
  LsCommand()
      : DataDirCommand("ls",
                       "List the databases with title and number of "
                       "documents, or the documents of PATH with their "
                       "routing items") {}

 private:
  DataDirOptions Options() const override { return DataDirOptions::ReadOnly(); }

  void AddArguments(CLI::App& sub) override {
    sub.add_option("PATH", path_,
                   "a database, relative to DIR, or SERVER!!PATH");
    sub.add_flag("--json", json_, "print JSON");
  }

  Outcome RunOn(LocalNotesServices& server) override {
    if (path_.empty()) {
      PrintDatabases(SummarizeDatabases(server), json_);
      return Outcome();
    }
    std::vector<DocumentSummary> documents;
    const Outcome outcome = ReadDocuments(server, path_, &documents);
    if (outcome.ok()) PrintDocuments(documents, json_);
    return outcome;
  }

  std::string path_;
  bool json_ = false;
};

}  // namespace

std::unique_ptr<Command> MakeLsCommand() {
  return std::make_unique<LsCommand>();
}

}  // namespace vt::tool
