#include "quarantine/Learning.h"

#include "scanning/NoteMessage.h"

namespace vt::tool {
namespace {

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ", ";
    text += name;
  }
  return text;
}

}  // namespace

Outcome LearningEngines(const LocalNotesServices& server,
                        std::unique_ptr<scanner::EngineSet>* engines) {
  scanner::EngineSettings settings;
  const std::string problem =
      scanner::ApplyEngineSettings(server.serverIni().scanner(), &settings);
  if (!problem.empty()) {
    return Outcome::Failure("server.ini's [Scanner] section: " + problem);
  }
  auto set = std::make_unique<scanner::EngineSet>(settings);
  if (!set->learns()) {
    return Outcome::Failure(
        "no engines to learn with: set them in server.ini's [Scanner] "
        "section (Rspamd and RspamdController, or Spamd)",
        Outcome::Kind::kBadRequest);
  }
  *engines = std::move(set);
  return Outcome();
}

std::string LearnReport::Summary(bool spam) const {
  std::string text;
  if (!learnt.empty()) {
    text = std::string("learnt as ") + (spam ? "spam" : "ham") + " by " +
           Joined(learnt);
  }
  if (!already.empty()) {
    text += (text.empty() ? "" : "; ") + std::string("already known to ") +
            Joined(already);
  }
  return text;
}

LearnReport LearnMessage(const scanner::EngineSet& engines,
                         scanner::ScanRequest request, bool spam,
                         const std::string& what) {
  request.deadline = scanner::Deadline::In(engines.timeout());
  LearnReport report;
  for (const scanner::Learning& learning : engines.Learn(request, spam)) {
    const std::string name(scanner::EngineName(learning.engine));
    if (!learning.outcome.ok()) {
      report.failures.push_back(
          engines.Describe(learning.engine) + ": cannot learn " + what +
          " as " + (spam ? "spam" : "ham") + ": " +
          scanner::OneLine(learning.outcome.failure().text, 300));
    } else if (learning.outcome.value() == scanner::Learned::kNow) {
      report.learnt.push_back(name);
    } else {
      report.already.push_back(name);
    }
  }
  return report;
}

scanner::ScanRequest RequestFromQuarantined(const QuarantinedNote& note) {
  ServerAdmin::NoteContents contents;
  contents.noteId = note.hit.noteId;
  contents.unid = note.unid;
  contents.created = note.created;
  contents.items = note.items;
  return RequestFromNote(contents);
}

void ReleaseEach(LocalNotesServices& server,
                 const std::vector<QuarantineFile>& files,
                 const MailBoxes& mailBoxes, size_t target,
                 const std::vector<std::string>& ids,
                 const scanner::EngineSet* engines,
                 const std::function<void(const ReleaseResult&)>& done) {
  for (const std::string& id : ids) {
    ReleaseResult result;
    result.id = id;
    std::optional<scanner::ScanRequest> request;
    if (engines != nullptr) {
      // Unreadable here means the release fails too, and says why.
      QuarantinedNote note;
      if (ReadQuarantinedNote(server, files, id, &note).ok()) {
        request = RequestFromQuarantined(note);
      }
    }
    result.outcome =
        ReleaseMessage(server, files, mailBoxes, target, id, &result.released);
    if (result.outcome.ok() && request) {
      result.learning = LearnMessage(*engines, std::move(*request), false, id);
    }
    done(result);
  }
}

}  // namespace vt::tool
