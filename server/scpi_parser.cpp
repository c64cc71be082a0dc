#include "server/scpi_parser.h"

#include <charconv>

#include "server/scpi_errors.h"

namespace scpi {

namespace {

constexpr size_t kMaxDigits = 255;

bool IsAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsWhite(char c) { return c == ' ' || c == '\t'; }
char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
// Anything but printable ASCII and white space: binary input, a stray CR, UTF-8.
bool IsInvalidByte(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u >= 0x7F;
}

std::string UpperOf(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Upper(c);
  return out;
}

class Cursor {
 public:
  explicit Cursor(std::string_view s) : s_(s) {}
  bool End() const { return i_ >= s_.size(); }
  char Peek(size_t ahead = 0) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }
  void Skip(size_t n = 1) { i_ += n; }
  void SkipWhite() {
    while (!End() && IsWhite(Peek())) ++i_;
  }
  size_t Pos() const { return i_; }
  void Seek(size_t at) { i_ = at; }
  std::string_view From(size_t start) const { return s_.substr(start, i_ - start); }
  // A mnemonic: a letter, then letters, digits and '_'.
  std::string_view Word() {
    const size_t start = i_;
    if (End() || !IsAlpha(Peek())) return {};
    while (!End() && (IsAlpha(Peek()) || IsDigit(Peek()) || Peek() == '_')) ++i_;
    return From(start);
  }
  // Where a unit, a parameter or a header may end.
  bool AtBoundary() const { return End() || Peek() == ';' || IsWhite(Peek()); }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

bool Fail(Unit* u, int error, std::string detail) {
  u->id = -1;
  u->error = error;
  u->detail = std::move(detail);
  return false;
}

// -101 for a byte that has no place in a message at all, else `otherwise`.
int ErrorAt(const Cursor& c, int otherwise) {
  return !c.End() && IsInvalidByte(c.Peek()) ? kInvalidCharacter : otherwise;
}

std::string Shown(std::string_view text) {
  std::string out;
  for (const char ch : text.substr(0, 40)) out += IsInvalidByte(ch) ? '?' : ch;
  return out;
}

bool ParseNumber(Cursor& c, Param* p, Unit* u) {
  const size_t start = c.Pos();
  if (c.Peek() == '+' || c.Peek() == '-') c.Skip();
  size_t digits = 0;
  while (IsDigit(c.Peek())) c.Skip(), ++digits;
  if (c.Peek() == '.') {
    c.Skip();
    while (IsDigit(c.Peek())) c.Skip(), ++digits;
  }
  if (digits == 0) return Fail(u, kInvalidCharacterInNumber, Shown(c.From(start)));
  if (digits > kMaxDigits) return Fail(u, kTooManyDigits, "");
  if (Upper(c.Peek()) == 'E' &&
      (IsDigit(c.Peek(1)) || ((c.Peek(1) == '+' || c.Peek(1) == '-') && IsDigit(c.Peek(2))))) {
    c.Skip(2);
    size_t exponentDigits = 0;
    while (IsDigit(c.Peek())) c.Skip(), ++exponentDigits;
    if (exponentDigits > 5) return Fail(u, kExponentTooLarge, Shown(c.From(start)));
  }
  p->kind = ParamKind::Number;
  p->text = std::string(c.From(start));
  std::string_view number = p->text;
  if (!number.empty() && number[0] == '+') number.remove_prefix(1);
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), p->number);
  if (ec == std::errc::result_out_of_range) return Fail(u, kExponentTooLarge, p->text);
  if (ec != std::errc() || end != number.data() + number.size()) return Fail(u, kInvalidCharacterInNumber, p->text);
  // A suffix may follow, after white space or not.
  const size_t afterNumber = c.Pos();
  c.SkipWhite();
  if (IsAlpha(c.Peek())) {
    const size_t unitStart = c.Pos();
    while (IsAlpha(c.Peek())) c.Skip();
    p->unit = UpperOf(c.From(unitStart));
    if (p->unit.size() > Parser::kMaxMnemonic) return Fail(u, kInvalidSuffix, Shown(p->unit));
  } else {
    c.Seek(afterNumber);
  }
  if (!c.AtBoundary() && c.Peek() != ',') return Fail(u, ErrorAt(c, kInvalidCharacterInNumber), Shown(c.From(start)));
  return true;
}

bool ParseString(Cursor& c, Param* p, Unit* u) {
  const char quote = c.Peek();
  c.Skip();
  p->kind = ParamKind::String;
  for (;;) {
    if (c.End()) return Fail(u, kInvalidStringData, "no closing quote");
    const char ch = c.Peek();
    if (IsInvalidByte(ch)) return Fail(u, kInvalidCharacter, "in a string");
    c.Skip();
    if (ch == quote) {
      if (c.Peek() != quote) break;
      c.Skip();  // a doubled quote stands for one
    }
    p->text += ch;
  }
  if (!c.AtBoundary() && c.Peek() != ',') return Fail(u, ErrorAt(c, kInvalidSeparator), "after a string");
  return true;
}

bool ParseParam(Cursor& c, Param* p, Unit* u) {
  const char ch = c.Peek();
  if (ch == '"' || ch == '\'') return ParseString(c, p, u);
  if (IsDigit(ch) || ch == '+' || ch == '-' || ch == '.') return ParseNumber(c, p, u);
  if (ch == '#') return Fail(u, kBlockDataNotAllowed, "");
  if (IsAlpha(ch)) {
    const std::string_view word = c.Word();
    if (word.size() > Parser::kMaxMnemonic) return Fail(u, kCharacterDataTooLong, Shown(word));
    p->kind = ParamKind::Word;
    p->text = UpperOf(word);
    if (!c.AtBoundary() && c.Peek() != ',') return Fail(u, ErrorAt(c, kInvalidSeparator), Shown(word));
    return true;
  }
  return Fail(u, ErrorAt(c, kSyntaxError), "");
}

}  // namespace

Parser::Parser(std::span<const Command> table) {
  for (const Command& command : table) {
    Entry e;
    e.command = &command;
    const std::string_view h = command.header;
    bool optional = false;
    for (size_t i = 0; i < h.size();) {
      const char ch = h[i];
      if (ch == '[' || ch == ']' || ch == ':') {
        if (ch != ':') optional = ch == '[';
        ++i;
        continue;
      }
      Node n;
      n.optional = optional;
      while (i < h.size() && (IsAlpha(h[i]) || h[i] == '*')) {
        n.longForm += Upper(h[i]);
        if (h[i] == '*' || (h[i] >= 'A' && h[i] <= 'Z')) n.shortForm += h[i];
        ++i;
      }
      if (i < h.size() && h[i] == '#') {
        n.suffix = true;
        ++i;
      }
      if (n.longForm.empty()) {
        ++i;  // not a header character: ignored
        continue;
      }
      e.nodes.push_back(std::move(n));
    }
    entries_.push_back(std::move(e));
  }
}

namespace {

// The node's long or short form with a numeric suffix or none: 0 when it has
// none, -1 when the suffix is no number the header can take.
bool NameFits(const std::string& longForm, const std::string& shortForm, const std::string& name, int* suffix) {
  size_t alpha = name.size();
  while (alpha > 0 && IsDigit(name[alpha - 1])) --alpha;
  const std::string_view head(name.data(), alpha);
  if (head != longForm && head != shortForm) return false;
  *suffix = 0;
  if (alpha == name.size()) return true;
  const std::string_view digits(name.data() + alpha, name.size() - alpha);
  int value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  *suffix = ec == std::errc() && end == digits.data() + digits.size() && value >= 1 ? value : -1;
  return true;
}

}  // namespace

const Parser::Entry* Parser::Match(const std::vector<std::string>& names, bool query, bool common, Unit* unit) const {
  bool known = false;
  for (const Entry& e : entries_) {
    if (e.nodes.empty() || (e.nodes.size() == 1 && e.nodes[0].longForm[0] == '*') != common) continue;
    std::vector<int> suffixes;
    bool badSuffix = false;
    // Optional nodes are tried present first, then left out.
    const auto fits = [&](auto&& self, size_t p, size_t n) -> bool {
      if (p == e.nodes.size()) return n == names.size();
      const Node& node = e.nodes[p];
      const size_t kept = suffixes.size();
      const bool keptBad = badSuffix;
      int suffix = 0;
      if (n < names.size() && NameFits(node.longForm, node.shortForm, names[n], &suffix)) {
        if (suffix < 0 || (suffix > 0 && !node.suffix)) badSuffix = true;
        if (node.suffix) suffixes.push_back(suffix > 0 ? suffix : 1);
        if (self(self, p + 1, n + 1)) return true;
        suffixes.resize(kept);
        badSuffix = keptBad;
      }
      if (!node.optional) return false;
      if (node.suffix) suffixes.push_back(1);
      if (self(self, p + 1, n)) return true;
      suffixes.resize(kept);
      return false;
    };
    if (!fits(fits, 0, 0)) continue;
    known = true;
    if (query ? !e.command->query : !e.command->set) continue;  // another entry may have this form
    if (badSuffix) {
      Fail(unit, kHeaderSuffixOutOfRange, "");
      return nullptr;
    }
    unit->suffixes = std::move(suffixes);
    return &e;
  }
  Fail(unit, kUndefinedHeader, known ? (query ? "no query form" : "query only") : "");
  return nullptr;
}

std::vector<Unit> Parser::Parse(std::string_view message) const {
  std::vector<Unit> units;
  std::vector<std::string> path;  // the mnemonics a header without a leading ':' continues from
  Cursor c(message);
  for (;;) {
    c.SkipWhite();
    if (c.End()) break;
    if (c.Peek() == ';') {  // an empty unit
      c.Skip();
      continue;
    }
    Unit& u = units.emplace_back();
    const size_t headerStart = c.Pos();
    std::vector<std::string> names;
    const bool common = c.Peek() == '*';
    if (common) {
      c.Skip();
      const std::string_view word = c.Word();
      if (word.empty()) return Fail(&u, ErrorAt(c, kSyntaxError), "*"), units;
      names.push_back("*" + UpperOf(word));
    } else {
      const bool absolute = c.Peek() == ':';
      if (absolute) c.Skip();
      if (!absolute) names = path;
      for (;;) {
        const std::string_view word = c.Word();
        if (word.empty()) return Fail(&u, ErrorAt(c, kSyntaxError), Shown(c.From(headerStart))), units;
        names.push_back(UpperOf(word));
        if (c.Peek() != ':') break;
        c.Skip();
      }
    }
    for (const std::string& name : names) {
      if (name.size() > kMaxMnemonic + (common ? 1 : 0)) return Fail(&u, kMnemonicTooLong, Shown(name)), units;
    }
    if (c.Peek() == '?') {
      u.query = true;
      c.Skip();
    }
    const std::string header(c.From(headerStart));
    if (!c.AtBoundary())
      return Fail(&u, ErrorAt(c, kSyntaxError), Shown(c.From(headerStart)) + Shown({&message[c.Pos()], 1})), units;
    const Entry* entry = Match(names, u.query, common, &u);
    if (!entry) {
      u.detail = Shown(header) + (u.detail.empty() ? "" : " (" + u.detail + ")");
      return units;
    }
    u.id = entry->command->id;
    if (!common) path.assign(names.begin(), names.end() - 1);
    c.SkipWhite();
    while (!c.End() && c.Peek() != ';') {
      if (!ParseParam(c, &u.params.emplace_back(), &u)) return units;
      c.SkipWhite();
      if (c.Peek() != ',') break;
      c.Skip();
      c.SkipWhite();
      if (c.End() || c.Peek() == ';') return Fail(&u, kSyntaxError, "a parameter is missing after ','"), units;
    }
    if (!c.End() && c.Peek() != ';') return Fail(&u, ErrorAt(c, kInvalidSeparator), ""), units;
    if (!c.End()) c.Skip();
  }
  return units;
}

}  // namespace scpi
