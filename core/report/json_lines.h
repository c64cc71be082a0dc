// Where each member and array item of a JSON text starts, by JSON pointer
// ("/rules/2/maxRippleMv" -> its line), so that a check of the parsed values
// can name the line a user must edit. Also finds a member given twice in one
// object, which a JSON parser would silently let the last one win.
#pragma once

#include <map>
#include <string>

struct JsonLines {
  std::map<std::string, int> lines;  // pointer -> 1-based line of the member's name or the item's start
  std::string duplicate;             // pointer of the first member given twice, or empty
  int duplicateLine = 0;

  // The line of `pointer`, or of its nearest enclosing member; 1 when none.
  int LineOf(std::string pointer) const;
};

// `text` must be valid JSON (parse it first): a syntax error only makes the
// lines after it less exact.
JsonLines MapJsonLines(const std::string& text);

// A member name as a JSON pointer's token ("~" -> "~0", "/" -> "~1").
std::string JsonPointerToken(const std::string& name);
