// The SCPI message parser: a program message (one line, its terminator taken
// off) becomes program message units, each matched against a table of
// command headers. It knows the syntax only; what a command does is the
// instrument's (instrument.h).
//
// Headers in the table are written as the SCPI standard documents them:
// "[SOURce#:]CURRent[:LEVel]", "MEASure:VOLTage[:DC]", "*IDN". Upper-case
// letters are the short form, the whole word the long form; either is
// accepted in any case, nothing in between. Brackets mark an optional node,
// '#' a node that takes a numeric suffix (1 when omitted). The rules:
// - units are separated by ';'; a header without a leading ':' continues from
//   the previous header's path (MEAS:VOLT?;CURR? asks MEAS:CURR?), a leading ':'
//   goes back to the root, common commands ('*') leave the path alone;
// - '?' after the header makes it a query; parameters follow after white space,
//   separated by ',': numbers with an optional unit suffix (1.5, 250 MA, 1e-3A),
//   character data (ON, MAX), strings in single or double quotes;
// - a unit that breaks a rule gets its command error and ends the message:
//   the units after it are not carried out.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace scpi {

// One header of the command table.
struct Command {
  const char* header;  // "[SOURce#:]CURRent[:LEVel]"
  int id;              // the instrument's own number for it
  bool set;            // accepted as a command
  bool query;          // accepted as a query (the header with '?')
};

enum class ParamKind { Number, Word, String };

struct Param {
  ParamKind kind = ParamKind::Word;
  std::string text;   // Word: upper-cased; String: its contents; Number: as sent
  double number = 0;  // Number: the value, without its suffix applied
  std::string unit;   // Number: the suffix, upper-cased ("MA", "A"), or empty
};

struct Unit {
  int id = -1;                // Command::id, -1 with an error
  bool query = false;
  std::vector<int> suffixes;  // the numeric suffix of every '#' node, in order (1 when omitted)
  std::vector<Param> params;
  int error = 0;              // the command error (-1xx) that stops the message, 0 when none
  std::string detail;         // what was wrong, for the error entry
};

class Parser {
 public:
  // The table stays the caller's; headers are read once, here.
  explicit Parser(std::span<const Command> table);

  // The units of one program message, in order. The last one carries the
  // error, if any, and none follow it.
  std::vector<Unit> Parse(std::string_view message) const;

  // Longest mnemonic the standard allows.
  static constexpr size_t kMaxMnemonic = 12;

 private:
  struct Node {
    std::string longForm;   // upper-cased
    std::string shortForm;  // the upper-case letters of the documented form
    bool optional = false;
    bool suffix = false;
  };
  struct Entry {
    std::vector<Node> nodes;
    const Command* command = nullptr;
  };
  // Matches the mnemonics (already resolved against the path) to an entry.
  const Entry* Match(const std::vector<std::string>& mnemonics, bool query, bool common, Unit* unit) const;

  std::vector<Entry> entries_;
};

}  // namespace scpi
