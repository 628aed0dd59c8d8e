// An ordered list of text lines, each with an optional object; the lines can be
// read as name=value pairs and joined to (or split from) one text at CR LF.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "runtime/object.h"

namespace ts {

enum class TDuplicates { dupIgnore, dupAccept, dupError };

class TStringList : public TObject {
public:
  TStringList() = default;
  TStringList(std::initializer_list<std::string> lines);
  TStringList(const TStringList& other) : TObject() { Assign(other); }
  TStringList& operator=(const TStringList& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& operator[](int index) const { return Strings(index); }
  const std::string& Strings(int index) const;
  void SetStrings(int index, const std::string& value);
  void* Objects(int index) const;
  void SetObjects(int index, void* object);

  int Add(const std::string& line) { return AddObject(line, nullptr); }
  int AddObject(const std::string& line, void* object);
  void Insert(int index, const std::string& line) { InsertObject(index, line, nullptr); }
  void InsertObject(int index, const std::string& line, void* object);
  void Delete(int index);
  void Clear() { items_.clear(); }
  void Move(int from, int to);
  void Exchange(int a, int b);
  void Assign(const TStringList& other);
  void AddStrings(const TStringList& other);

  // Searches compare with CaseSensitive (ASCII letters fold when false).
  int IndexOf(std::string_view line) const;
  int IndexOfObject(const void* object) const;
  int IndexOfName(std::string_view name) const;

  // name=value view of the lines.
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;
  std::string Values(std::string_view name) const;
  void SetValues(std::string_view name, const std::string& value);  // empty value deletes the line

  // Every line followed by CR LF; setting splits at CR LF, CR or LF.
  std::string Text() const;
  void SetText(std::string_view text);

  bool Sorted() const { return sorted_; }
  void SetSorted(bool sorted);
  TDuplicates Duplicates() const { return duplicates_; }
  void SetDuplicates(TDuplicates d) { duplicates_ = d; }
  bool CaseSensitive() const { return caseSensitive_; }
  void SetCaseSensitive(bool value);
  // Binary search of a sorted list: true when found; `index` is the match or the insert position.
  bool Find(std::string_view line, int& index) const;
  void Sort();

  int Compare(std::string_view a, std::string_view b) const;

private:
  struct Item {
    std::string text;
    void* object = nullptr;
  };
  void CheckIndex(int index) const;
  std::vector<Item> items_;
  bool sorted_ = false;
  bool caseSensitive_ = false;
  TDuplicates duplicates_ = TDuplicates::dupIgnore;
};

}  // namespace ts
