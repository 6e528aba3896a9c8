// Compiling and applying the server's mail rules.
#include "server/FormulaMailRules.h"

#include "server/formula/FormulaCompiler.h"

namespace vt {

void FormulaMailRules::Load(const std::vector<MailRule>& rules,
                            std::vector<Problem>* problems) {
  programs_.clear();
  for (const MailRule& rule : rules) {
    const std::string& name = rule.name;
    const std::string& text = rule.formula;
    std::vector<uint8_t> blob;
    formula::CompileError error;
    Status s = formula::CompileFormula("", text, &blob, &error);
    formula::FormulaProgram program;
    if (s.ok()) s = formula::DecodeFormula(blob, &program);
    if (!s.ok()) {
      problems->push_back(
          {name, std::string(error.message.empty() ? "cannot be compiled"
                                                   : error.message)});
      continue;
    }
    programs_.push_back(std::move(program));
  }
}

bool FormulaMailRules::Refuses(const ItemSource& note) {
  for (const formula::FormulaProgram& program : programs_) {
    if (program.Selects(note, now_)) return true;
  }
  return false;
}

}  // namespace vt
