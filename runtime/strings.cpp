#include "runtime/strings.h"

#include <algorithm>

#include "runtime/exception.h"
#include "runtime/text.h"

namespace ts {

TStringList::TStringList(std::initializer_list<std::string> lines) {
  for (const auto& line : lines) Add(line);
}

void TStringList::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw EListError(Format("リストのインデックスが範囲を超えています (%d)", {index}));
}

const std::string& TStringList::Strings(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].text;
}

void TStringList::SetStrings(int index, const std::string& value) {
  CheckIndex(index);
  items_[static_cast<size_t>(index)].text = value;
}

void* TStringList::Objects(int index) const {
  CheckIndex(index);
  return items_[static_cast<size_t>(index)].object;
}

void TStringList::SetObjects(int index, void* object) {
  CheckIndex(index);
  items_[static_cast<size_t>(index)].object = object;
}

int TStringList::Compare(std::string_view a, std::string_view b) const {
  if (!caseSensitive_) return CompareText(a, b);
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool TStringList::Find(std::string_view line, int& index) const {
  int lo = 0, hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    int mid = (lo + hi) / 2;
    int c = Compare(items_[static_cast<size_t>(mid)].text, line);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        // With duplicates accepted, keep going left to the first equal line.
        if (duplicates_ != TDuplicates::dupAccept) lo = mid;
      }
    }
  }
  index = lo;
  return found;
}

int TStringList::AddObject(const std::string& line, void* object) {
  int index = Count();
  if (sorted_) {
    if (Find(line, index)) {
      if (duplicates_ == TDuplicates::dupIgnore) return index;
      if (duplicates_ == TDuplicates::dupError) throw EListError("文字列リストは重複を許しません");
      // Accepted duplicates go after the equal lines already present.
      while (index < Count() && Compare(items_[static_cast<size_t>(index)].text, line) == 0) ++index;
    }
  }
  items_.insert(items_.begin() + index, Item{line, object});
  return index;
}

void TStringList::InsertObject(int index, const std::string& line, void* object) {
  if (sorted_) throw EListError("ソートされたリストには操作できません");
  if (index < 0 || index > Count()) throw EListError(Format("リストのインデックスが範囲を超えています (%d)", {index}));
  items_.insert(items_.begin() + index, Item{line, object});
}

void TStringList::Delete(int index) {
  CheckIndex(index);
  items_.erase(items_.begin() + index);
}

void TStringList::Move(int from, int to) {
  if (from == to) return;
  CheckIndex(from);
  CheckIndex(to);
  Item item = std::move(items_[static_cast<size_t>(from)]);
  items_.erase(items_.begin() + from);
  items_.insert(items_.begin() + to, std::move(item));
}

void TStringList::Exchange(int a, int b) {
  CheckIndex(a);
  CheckIndex(b);
  std::swap(items_[static_cast<size_t>(a)], items_[static_cast<size_t>(b)]);
}

void TStringList::Assign(const TStringList& other) {
  items_ = other.items_;
  sorted_ = other.sorted_;
  caseSensitive_ = other.caseSensitive_;
  duplicates_ = other.duplicates_;
}

void TStringList::AddStrings(const TStringList& other) {
  for (const auto& item : other.items_) AddObject(item.text, item.object);
}

int TStringList::IndexOf(std::string_view line) const {
  if (sorted_) {
    int index;
    return Find(line, index) ? index : -1;
  }
  for (int i = 0; i < Count(); ++i)
    if (Compare(items_[static_cast<size_t>(i)].text, line) == 0) return i;
  return -1;
}

int TStringList::IndexOfObject(const void* object) const {
  for (int i = 0; i < Count(); ++i)
    if (items_[static_cast<size_t>(i)].object == object) return i;
  return -1;
}

std::string TStringList::Names(int index) const {
  const std::string& line = Strings(index);
  auto eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& line = Strings(index);
  auto eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

int TStringList::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = items_[static_cast<size_t>(i)].text;
    auto eq = line.find('=');
    if (eq != std::string::npos && Compare(std::string_view(line).substr(0, eq), name) == 0) return i;
  }
  return -1;
}

std::string TStringList::Values(std::string_view name) const {
  int i = IndexOfName(name);
  return i < 0 ? std::string() : ValueFromIndex(i);
}

void TStringList::SetValues(std::string_view name, const std::string& value) {
  int i = IndexOfName(name);
  if (value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  std::string line = std::string(name) + "=" + value;
  if (i < 0)
    Add(line);
  else
    items_[static_cast<size_t>(i)].text = line;
}

std::string TStringList::Text() const {
  std::string out;
  size_t total = 0;
  for (const auto& item : items_) total += item.text.size() + 2;
  out.reserve(total);
  for (const auto& item : items_) {
    out += item.text;
    out += "\r\n";
  }
  return out;
}

void TStringList::SetText(std::string_view text) {
  Clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) {
      Add(std::string(text.substr(pos)));
      break;
    }
    Add(std::string(text.substr(pos, end - pos)));
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
}

void TStringList::SetSorted(bool sorted) {
  if (sorted && !sorted_) {
    sorted_ = true;
    Sort();
  }
  sorted_ = sorted;
}

void TStringList::SetCaseSensitive(bool value) {
  if (value == caseSensitive_) return;
  caseSensitive_ = value;
  if (sorted_) Sort();
}

void TStringList::Sort() {
  std::stable_sort(items_.begin(), items_.end(),
                   [this](const Item& a, const Item& b) { return Compare(a.text, b.text) < 0; });
}

}  // namespace ts
