#include "core/report/json_lines.h"

#include <set>
#include <vector>

namespace {

struct Container {
  bool object = false;
  std::string path;
  int index = 0;
  bool expectName = true;
  std::string valuePath;  // the member or item being read
  std::set<std::string> names;
};

// Reads the string starting at text[i] (a quote) and returns its value with
// the common escapes undone; i ends past the closing quote.
std::string ReadString(const std::string& text, size_t& i) {
  std::string s;
  for (++i; i < text.size() && text[i] != '"'; ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char e = text[++i];
      s += e == 'n' ? '\n' : e == 't' ? '\t' : e;
    } else {
      s += text[i];
    }
  }
  ++i;
  return s;
}

}  // namespace

std::string JsonPointerToken(const std::string& name) {
  std::string t;
  for (char c : name) t += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
  return t;
}

int JsonLines::LineOf(std::string pointer) const {
  for (;;) {
    const auto found = lines.find(pointer);
    if (found != lines.end()) return found->second;
    const size_t slash = pointer.rfind('/');
    if (slash == std::string::npos) return 1;
    pointer.resize(slash);
  }
}

JsonLines MapJsonLines(const std::string& text) {
  JsonLines out;
  std::vector<Container> stack;
  int line = 1;
  // A value starts: an array's item gets its own line here (a member's
  // line is its name's); returns the value's pointer.
  const auto startValue = [&]() -> std::string {
    if (stack.empty()) return "";
    Container& top = stack.back();
    if (top.object) return top.valuePath;
    top.valuePath = top.path + "/" + std::to_string(top.index);
    out.lines.emplace(top.valuePath, line);
    return top.valuePath;
  };
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    if (c == '\n') {
      ++line;
      ++i;
    } else if (c == ' ' || c == '\t' || c == '\r' || c == ':') {
      ++i;
    } else if (c == '"') {
      const std::string s = ReadString(text, i);
      if (!stack.empty() && stack.back().object && stack.back().expectName) {
        Container& top = stack.back();
        top.valuePath = top.path + "/" + JsonPointerToken(s);
        top.expectName = false;
        if (!top.names.insert(s).second && out.duplicate.empty()) {
          out.duplicate = top.valuePath;
          out.duplicateLine = line;
        }
        out.lines.emplace(top.valuePath, line);
      } else {
        startValue();
      }
    } else if (c == '{' || c == '[') {
      Container next;
      next.path = startValue();
      next.object = c == '{';
      stack.push_back(next);
      ++i;
    } else if (c == '}' || c == ']') {
      if (!stack.empty()) stack.pop_back();
      ++i;
    } else if (c == ',') {
      if (!stack.empty()) {
        stack.back().expectName = true;
        ++stack.back().index;
      }
      ++i;
    } else {
      startValue();
      while (i < text.size() && std::string(",]}: \t\r\n").find(text[i]) == std::string::npos) ++i;
    }
  }
  return out;
}
