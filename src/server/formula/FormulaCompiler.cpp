// A recursive-descent compiler from formula text to postfix code. Operator
// precedence follows the formula language: unary minus binds tightest, then
// the comparisons, then '!', and '&' and '|' share the lowest level and group
// from the left.
#include "server/formula/FormulaCompiler.h"

#include <charconv>
#include <cmath>
#include <string>
#include <system_error>

#include "base/Ascii.h"
#include "notes/ItemValue.h"
#include "server/formula/FormulaBlob.h"
#include "server/formula/FormulaCode.h"

namespace vt::formula {
namespace {

enum class Tok : uint8_t {
  kEnd,
  kNumber,
  kText,
  kName,
  kFunction,
  kOpen,
  kClose,
  kSemicolon,
  kEqual,
  kNotEqual,
  kLess,
  kGreater,
  kLessEqual,
  kGreaterEqual,
  kAnd,
  kOr,
  kNot,
  kMinus,
};

struct Token {
  Tok kind = Tok::kEnd;
  uint32_t offset = 0;
  uint32_t length = 0;
};

struct FunctionInfo {
  std::string_view name;  // without '@'
  uint8_t op;
  int arguments;
};

constexpr FunctionInfo kFunctions[] = {
    {"All", kOpTrue, 0},
    {"True", kOpTrue, 0},
    {"False", kOpFalse, 0},
    {"Created", kOpCreated, 0},
    {"Modified", kOpModified, 0},
    {"Now", kOpNow, 0},
    {"Adjust", kOpAdjust, kAdjustArguments},
};

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' ||
         c == '\v';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

uint8_t ComparisonOp(Tok kind) {
  switch (kind) {
    case Tok::kEqual:
      return kOpEqual;
    case Tok::kNotEqual:
      return kOpNotEqual;
    case Tok::kLess:
      return kOpLess;
    case Tok::kGreater:
      return kOpGreater;
    case Tok::kLessEqual:
      return kOpLessEqual;
    case Tok::kGreaterEqual:
      return kOpGreaterEqual;
    default:
      return 0;
  }
}

class Compiler {
 public:
  Compiler(std::string_view text, CompileError* error)
      : text_(text), error_(error) {}

  Status Compile(std::vector<uint8_t>* code) {
    if (Status s = Advance(); !s.ok()) return s;
    bool haveValue = false;
    while (token_.kind != Tok::kEnd) {
      if (token_.kind == Tok::kSemicolon) {
        if (Status s = Advance(); !s.ok()) return s;
        continue;
      }
      if (Status s = ParseStatement(&haveValue); !s.ok()) return s;
      if (token_.kind == Tok::kClose) return FailAt(token_, "unmatched )");
      if (token_.kind != Tok::kSemicolon && token_.kind != Tok::kEnd) {
        return FailAt(token_, "expected ; or an operator");
      }
    }
    if (!haveValue) {
      return Fail("empty formula", 0, static_cast<uint32_t>(text_.size()));
    }
    *code = std::move(code_);
    return Status();
  }

 private:
  std::string_view Lexeme(const Token& t) const {
    return text_.substr(t.offset, t.length);
  }

  Status Fail(std::string_view message, uint32_t offset, uint32_t length) {
    error_->code = Status(err::kFormulaSyntax);
    error_->offset = offset;
    error_->length = length;
    error_->message = message;
    error_->line = 1;
    error_->column = 1;
    for (uint32_t i = 0; i < offset && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++error_->line;
        error_->column = 1;
      } else {
        ++error_->column;
      }
    }
    return error_->code;
  }
  Status FailAt(const Token& t, std::string_view message) {
    return Fail(message, t.offset, t.length);
  }

  // ---- Lexer ------------------------------------------------------------

  Status Advance() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
    const uint32_t start = static_cast<uint32_t>(pos_);
    token_ = Token{Tok::kEnd, start, 0};
    if (pos_ == text_.size()) return Status();
    const char c = text_[pos_];
    const char next = pos_ + 1 < text_.size() ? text_[pos_ + 1] : '\0';
    if (c == '"') return LexText();
    if (IsDigit(c) || (c == '.' && IsDigit(next))) return LexNumber();
    if (IsNameStart(c) || c == '@') {
      size_t end = pos_ + 1;
      while (end < text_.size() && IsNamePart(text_[end])) ++end;
      if (c == '@' && end == pos_ + 1) {
        return Fail("@ without a function name", start, 1);
      }
      return Take(c == '@' ? Tok::kFunction : Tok::kName, end - pos_);
    }
    switch (c) {
      case '(':
        return Take(Tok::kOpen, 1);
      case ')':
        return Take(Tok::kClose, 1);
      case ';':
        return Take(Tok::kSemicolon, 1);
      case '&':
        return Take(Tok::kAnd, 1);
      case '|':
        return Take(Tok::kOr, 1);
      case '-':
        return Take(Tok::kMinus, 1);
      case '=':
        return Take(Tok::kEqual, 1);
      case '!':
        return next == '=' ? Take(Tok::kNotEqual, 2) : Take(Tok::kNot, 1);
      case '<':
        if (next == '=') return Take(Tok::kLessEqual, 2);
        if (next == '>') return Take(Tok::kNotEqual, 2);
        return Take(Tok::kLess, 1);
      case '>':
        return next == '=' ? Take(Tok::kGreaterEqual, 2)
                           : Take(Tok::kGreater, 1);
      default:
        return Fail("unsupported character or operator", start, 1);
    }
  }

  Status Take(Tok kind, size_t length) {
    token_ =
        Token{kind, static_cast<uint32_t>(pos_), static_cast<uint32_t>(length)};
    pos_ += length;
    return Status();
  }

  // A backslash makes the next character literal, which is how a quote or
  // a backslash gets into a text.
  Status LexText() {
    const size_t start = pos_;
    tokenText_.clear();
    size_t i = pos_ + 1;
    while (i < text_.size()) {
      const char c = text_[i];
      if (c == '"') return Take(Tok::kText, i + 1 - start);
      if (c == '\\') {
        if (i + 1 == text_.size()) break;
        tokenText_ += text_[i + 1];
        i += 2;
        continue;
      }
      tokenText_ += c;
      ++i;
    }
    return Fail("unterminated text", static_cast<uint32_t>(start),
                static_cast<uint32_t>(text_.size() - start));
  }

  Status LexNumber() {
    size_t end = pos_;
    while (end < text_.size() && IsDigit(text_[end])) ++end;
    if (end < text_.size() && text_[end] == '.') {
      ++end;
      while (end < text_.size() && IsDigit(text_[end])) ++end;
    }
    if (end < text_.size() && (text_[end] == 'e' || text_[end] == 'E')) {
      size_t digits = end + 1;
      if (digits < text_.size() &&
          (text_[digits] == '+' || text_[digits] == '-')) {
        ++digits;
      }
      if (digits < text_.size() && IsDigit(text_[digits])) {
        end = digits;
        while (end < text_.size() && IsDigit(text_[end])) ++end;
      }
    }
    const char* first = text_.data() + pos_;
    const char* last = text_.data() + end;
    const auto [ptr, ec] = std::from_chars(first, last, tokenNumber_);
    if (ec != std::errc() || ptr != last || !std::isfinite(tokenNumber_)) {
      return Fail("number out of range", static_cast<uint32_t>(pos_),
                  static_cast<uint32_t>(end - pos_));
    }
    return Take(Tok::kNumber, end - pos_);
  }

  // ---- Code -------------------------------------------------------------

  Status Emit(uint8_t op, const Token& at) {
    StackEffect effect;
    if (!GetStackEffect(op, &effect)) return FailAt(at, "internal error");
    stack_ += effect.pushes - effect.pops;
    if (stack_ > kMaxStack) return FailAt(at, "formula too complex");
    code_.push_back(op);
    return Status();
  }

  Status Enter(const Token& at) {
    if (++nesting_ > kMaxNesting)
      return FailAt(at, "formula nested too deeply");
    return Status();
  }

  // ---- Parser -----------------------------------------------------------

  static bool IsKeyword(std::string_view name) {
    for (std::string_view k :
         {"SELECT", "REM", "FIELD", "DEFAULT", "ENVIRONMENT"}) {
      if (EqualsIgnoreCase(name, k)) return true;
    }
    return false;
  }

  Status ParseStatement(bool* haveValue) {
    bool select = false;
    if (token_.kind == Tok::kName) {
      const std::string_view word = Lexeme(token_);
      if (EqualsIgnoreCase(word, "REM")) {
        if (Status s = Advance(); !s.ok()) return s;
        if (token_.kind != Tok::kText)
          return FailAt(token_, "REM needs a text");
        return Advance();
      }
      if (EqualsIgnoreCase(word, "SELECT")) {
        select = true;
      } else if (IsKeyword(word)) {
        return FailAt(token_, "unsupported keyword");
      }
    }
    const Token first = token_;
    if (select) {
      if (Status s = Advance(); !s.ok()) return s;
    }
    // Only the last statement's value remains on the stack.
    if (*haveValue) {
      if (Status s = Emit(kOpDiscard, first); !s.ok()) return s;
    }
    if (Status s = ParseLogic(); !s.ok()) return s;
    if (select) {
      if (Status s = Emit(kOpSelect, first); !s.ok()) return s;
    }
    *haveValue = true;
    return Status();
  }

  Status ParseLogic() {
    if (Status s = ParseNot(); !s.ok()) return s;
    while (token_.kind == Tok::kAnd || token_.kind == Tok::kOr) {
      const Token op = token_;
      if (Status s = Advance(); !s.ok()) return s;
      if (Status s = ParseNot(); !s.ok()) return s;
      if (Status s = Emit(op.kind == Tok::kAnd ? kOpAnd : kOpOr, op); !s.ok()) {
        return s;
      }
    }
    return Status();
  }

  Status ParseNot() {
    if (token_.kind != Tok::kNot) return ParseCompare();
    const Token op = token_;
    if (Status s = Enter(op); !s.ok()) return s;
    if (Status s = Advance(); !s.ok()) return s;
    if (Status s = ParseNot(); !s.ok()) return s;
    --nesting_;
    return Emit(kOpNot, op);
  }

  Status ParseCompare() {
    if (Status s = ParseUnary(); !s.ok()) return s;
    while (ComparisonOp(token_.kind) != 0) {
      const Token op = token_;
      if (Status s = Advance(); !s.ok()) return s;
      if (Status s = ParseUnary(); !s.ok()) return s;
      if (Status s = Emit(ComparisonOp(op.kind), op); !s.ok()) return s;
    }
    return Status();
  }

  Status ParseUnary() {
    if (token_.kind != Tok::kMinus) return ParsePrimary();
    const Token op = token_;
    if (Status s = Enter(op); !s.ok()) return s;
    if (Status s = Advance(); !s.ok()) return s;
    if (Status s = ParseUnary(); !s.ok()) return s;
    --nesting_;
    return Emit(kOpNegate, op);
  }

  Status ParsePrimary() {
    const Token t = token_;
    switch (t.kind) {
      case Tok::kNumber: {
        if (Status s = Emit(kOpNumber, t); !s.ok()) return s;
        const std::vector<uint8_t> bytes = item::EncodeNumber(tokenNumber_);
        code_.insert(code_.end(), bytes.begin(), bytes.end());
        return Advance();
      }
      case Tok::kText: {
        if (Status s = Emit(kOpText, t); !s.ok()) return s;
        AppendLe16(code_, static_cast<uint16_t>(tokenText_.size()));
        code_.insert(code_.end(), tokenText_.begin(), tokenText_.end());
        return Advance();
      }
      case Tok::kName: {
        const std::string_view name = Lexeme(t);
        if (IsKeyword(name)) {
          return FailAt(t, "keyword where a value is expected");
        }
        if (name.size() > kMaxNameLength) return FailAt(t, "name too long");
        if (Status s = Emit(kOpItem, t); !s.ok()) return s;
        code_.push_back(static_cast<uint8_t>(name.size()));
        code_.insert(code_.end(), name.begin(), name.end());
        return Advance();
      }
      case Tok::kFunction:
        return ParseFunction();
      case Tok::kOpen: {
        if (Status s = Enter(t); !s.ok()) return s;
        if (Status s = Advance(); !s.ok()) return s;
        if (Status s = ParseLogic(); !s.ok()) return s;
        if (token_.kind != Tok::kClose) return FailAt(token_, "missing )");
        --nesting_;
        return Advance();
      }
      default:
        return FailAt(t, "expected a value");
    }
  }

  Status ParseFunction() {
    const Token f = token_;
    const std::string_view name = Lexeme(f).substr(1);
    const FunctionInfo* info = nullptr;
    for (const FunctionInfo& candidate : kFunctions) {
      if (EqualsIgnoreCase(candidate.name, name)) info = &candidate;
    }
    if (info == nullptr) return FailAt(f, "unknown @function");
    if (Status s = Advance(); !s.ok()) return s;
    if (info->arguments == 0) {
      if (token_.kind == Tok::kOpen) {
        return FailAt(token_, "this @function takes no arguments");
      }
      return Emit(info->op, f);
    }
    if (token_.kind != Tok::kOpen) return FailAt(token_, "missing (");
    if (Status s = Enter(token_); !s.ok()) return s;
    if (Status s = Advance(); !s.ok()) return s;
    for (int i = 0; i < info->arguments; ++i) {
      if (i > 0) {
        if (token_.kind == Tok::kClose) return FailAt(f, "too few arguments");
        if (token_.kind != Tok::kSemicolon) {
          return FailAt(token_, "expected ; or )");
        }
        if (Status s = Advance(); !s.ok()) return s;
      }
      if (Status s = ParseLogic(); !s.ok()) return s;
    }
    if (token_.kind == Tok::kSemicolon) {
      return FailAt(token_, "too many arguments");
    }
    if (token_.kind != Tok::kClose) return FailAt(token_, "missing )");
    --nesting_;
    if (Status s = Advance(); !s.ok()) return s;
    return Emit(info->op, f);
  }

  std::string_view text_;
  CompileError* error_;
  size_t pos_ = 0;
  Token token_;
  std::string tokenText_;  // the current kText token's value
  double tokenNumber_ = 0;
  std::vector<uint8_t> code_;
  int stack_ = 0;
  int nesting_ = 0;
};

}  // namespace

Status CompileFormula(std::string_view columnName, std::string_view text,
                      std::vector<uint8_t>* blob, CompileError* error) {
  CompileError local;
  CompileError* e = error != nullptr ? error : &local;
  *e = CompileError{};
  auto refuse = [e](uint16_t code, std::string_view message, uint32_t length) {
    e->code = Status(code);
    e->line = 1;
    e->column = 1;
    e->offset = 0;
    e->length = length;
    e->message = message;
    return e->code;
  };
  if (text.size() > kMaxFormulaSize) {
    return refuse(err::kItemTooLarge, "formula text too long", 0);
  }
  if (columnName.size() > kMaxNameLength) {
    return refuse(err::kInvalidArgument, "column name too long", 0);
  }
  std::vector<uint8_t> code;
  Compiler compiler(text, e);
  if (Status s = compiler.Compile(&code); !s.ok()) return s;

  BlobParts parts;
  if (columnName.empty()) {
    parts.hasSelection = true;
    parts.selection = code;
  } else {
    parts.columns.push_back(BlobColumn{columnName, code, 0});
  }
  if (Status s = BuildFormulaBlob(parts, blob); !s.ok()) {
    return refuse(s.code(),
                  s.Is(err::kItemTooLarge) ? "compiled formula too large"
                                           : "invalid column name",
                  static_cast<uint32_t>(text.size()));
  }
  return Status();
}

}  // namespace vt::formula
