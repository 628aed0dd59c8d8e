// Our own INI reader and writer, giving the results of the Windows profile
// functions: names compared without regard to ASCII case, keys and values
// trimmed, matching quotes around a value dropped, the first of duplicate
// sections or keys winning, CR LF line ends on write.
#include "platform/profile.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace platform {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string TrimBlanks(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && IsBlank(s[b])) ++b;
  while (e > b && IsBlank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

struct Key {
  std::string name;
  bool hasValue = false;
  std::string value;
};
struct Section {
  bool named = false;  // lines before the first header live in an unnamed section
  std::string name;
  std::vector<Key> keys;
};

bool Load(const std::string& fileName, std::vector<Section>& sections) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) return false;
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  sections.clear();
  sections.push_back(Section{});
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string::npos) end = text.size();
    std::string line = TrimBlanks(text.substr(pos, end - pos));
    pos = end;
    while (pos < text.size() && (text[pos] == '\r' || text[pos] == '\n')) {
      if (text[pos] == '\n') {
        ++pos;
        break;
      }
      ++pos;
    }
    if (line.empty()) continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      Section s;
      s.named = true;
      s.name = TrimBlanks(line.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      sections.push_back(std::move(s));
      continue;
    }
    Key k;
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
      k.name = line;
    } else {
      k.name = TrimBlanks(line.substr(0, eq));
      k.hasValue = true;
      k.value = TrimBlanks(line.substr(eq + 1));
    }
    sections.back().keys.push_back(std::move(k));
  }
  return true;
}

bool Save(const std::string& fileName, const std::vector<Section>& sections) {
  std::string out;
  bool first = true;
  for (const Section& s : sections) {
    if (!s.named && s.keys.empty()) continue;
    if (s.named) {
      if (!first) out += "\r\n";
      out += "[" + s.name + "]\r\n";
    }
    first = false;
    for (const Key& k : s.keys) {
      out += k.name;
      if (k.hasValue) out += "=" + k.value;
      out += "\r\n";
    }
  }
  FILE* f = std::fopen(fileName.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
  ok = (std::fclose(f) == 0) && ok;
  return ok;
}

Section* FindSection(std::vector<Section>& sections, const std::string& name) {
  for (Section& s : sections)
    if (s.named && SameName(s.name, name)) return &s;
  return nullptr;
}

}  // namespace

std::string ProfileGetString(const char* section, const char* key, const char* defaultValue,
                             const std::string& fileName) {
  std::string def = defaultValue ? defaultValue : "";
  // The default loses its trailing blanks, as the system's does.
  while (!def.empty() && def.back() == ' ') def.pop_back();
  std::string result = def;
  std::vector<Section> sections;
  if (section && key && Load(fileName, sections)) {
    if (Section* s = FindSection(sections, TrimBlanks(section))) {
      const std::string wanted = TrimBlanks(key);
      for (const Key& k : s->keys) {
        if (!SameName(k.name, wanted)) continue;
        if (k.hasValue) {
          result = k.value;
          if (result.size() >= 2 && (result.front() == '"' || result.front() == '\'') &&
              result.back() == result.front())
            result = result.substr(1, result.size() - 2);
        }
        break;
      }
    }
  }
  if (result.size() > static_cast<size_t>(kProfileBufferSize - 1)) result.resize(kProfileBufferSize - 1);
  return result;
}

bool ProfileWriteString(const char* section, const char* key, const char* value, const std::string& fileName) {
  // A flush request (all three null) reports false, as the system does; nothing is cached here.
  if (!section) return false;
  std::vector<Section> sections;
  if (!Load(fileName, sections)) sections.assign(1, Section{});
  const std::string sectionName = TrimBlanks(section);
  Section* s = FindSection(sections, sectionName);
  if (!key) {
    if (!s) return true;
    for (auto it = sections.begin(); it != sections.end(); ++it)
      if (&*it == s) {
        sections.erase(it);
        break;
      }
    return Save(fileName, sections);
  }
  const std::string keyName = TrimBlanks(key);
  if (!value) {
    if (!s) return true;
    for (auto it = s->keys.begin(); it != s->keys.end(); ++it)
      if (SameName(it->name, keyName)) {
        s->keys.erase(it);
        return Save(fileName, sections);
      }
    return true;
  }
  if (!s) {
    Section fresh;
    fresh.named = true;
    fresh.name = sectionName;
    sections.push_back(std::move(fresh));
    s = &sections.back();
  }
  bool found = false;
  for (Key& k : s->keys)
    if (SameName(k.name, keyName)) {
      k.hasValue = true;
      k.value = value;
      found = true;
      break;
    }
  if (!found) s->keys.push_back(Key{keyName, true, value});
  return Save(fileName, sections);
}

}  // namespace platform
