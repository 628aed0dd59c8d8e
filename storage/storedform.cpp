#include "storage/storedform.h"

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/scope.h"
#include "runtime/text.h"

namespace ts {

namespace generated {
// Emitted at build time by scripts/gen_cues.py.
extern const unsigned char kWindowStoredData[];
extern const size_t kWindowStoredDataSize;
}  // namespace generated

namespace {

constexpr char kSignature[4] = {'T', 'S', 'F', 'D'};
constexpr uint8_t kFormatVersion = 1;
constexpr char kClassName[] = "TFileStorage";

enum Kind : uint8_t { kInteger = 1, kText = 2, kIdent = 3, kBinary = 4, kCollection = 5 };

const char* const kLevelNames[] = {"clNone", "clFastest", "clDefault", "clMax"};

[[noreturn]] void Bad(const std::string& what) { throw EFileStorageError("Invalid stored form data: " + what); }

class FormReader {
public:
  explicit FormReader(TStream& s) : s_(s) {}

  uint8_t Byte() {
    uint8_t b;
    s_.ReadBuffer(&b, 1);
    return b;
  }
  uint32_t U32() {
    uint8_t b[4];
    s_.ReadBuffer(b, 4);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
           static_cast<uint32_t>(b[3]) << 24;
  }
  std::string Bytes(uint32_t n) {
    // Check against what is left before allocating for a damaged length.
    if (static_cast<int64_t>(n) > s_.Size() - s_.Position()) throw EReadError();
    std::string out(n, '\0');
    s_.ReadBuffer(out.data(), n);
    return out;
  }
  std::string ShortText() { return Bytes(Byte()); }
  std::string Text() { return Bytes(U32()); }

  // The next property's name, empty at the end of a list.
  std::string PropertyName() { return ShortText(); }
  uint8_t Kind() { return Byte(); }

  int32_t Integer(const std::string& name) {
    Expect(name, kInteger);
    return static_cast<int32_t>(U32());
  }
  std::string TextValue(const std::string& name) {
    Expect(name, kText);
    return Text();
  }
  std::string Ident(const std::string& name) {
    Expect(name, kIdent);
    return ShortText();
  }
  std::string Binary(const std::string& name) {
    Expect(name, kBinary);
    return Text();
  }
  void Skip(const std::string& name, uint8_t kind) {
    switch (kind) {
      case kInteger:
        U32();
        break;
      case kText:
      case kBinary:
        Text();
        break;
      case kIdent:
        ShortText();
        break;
      default:
        Bad("property \"" + name + "\" cannot be skipped");
    }
  }
  void Expect(const std::string& name, uint8_t expected) {
    if (Kind() != expected) Bad("property \"" + name + "\" has the wrong kind");
  }
  bool AtEnd() { return s_.Position() >= s_.Size(); }

private:
  TStream& s_;
};

class FormWriter {
public:
  explicit FormWriter(TStream& s) : s_(s) {}

  void Byte(uint8_t b) { s_.WriteBuffer(&b, 1); }
  void U32(uint32_t v) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    s_.WriteBuffer(b, 4);
  }
  void ShortText(const std::string& t) {
    if (t.size() > 255) Bad("name \"" + t.substr(0, 32) + "...\" is too long");
    Byte(static_cast<uint8_t>(t.size()));
    s_.WriteString(t);
  }
  void Text(std::string_view t) {
    U32(static_cast<uint32_t>(t.size()));
    s_.WriteString(t);
  }
  void Name(const std::string& name, uint8_t kind) {
    ShortText(name);
    Byte(kind);
  }
  void Integer(const std::string& name, int32_t v) {
    Name(name, kInteger);
    U32(static_cast<uint32_t>(v));
  }
  void TextValue(const std::string& name, const std::string& v) {
    Name(name, kText);
    Text(v);
  }
  void Ident(const std::string& name, const std::string& v) {
    Name(name, kIdent);
    ShortText(v);
  }
  void Binary(const std::string& name, std::string_view v) {
    Name(name, kBinary);
    Text(v);
  }
  void EndList() { Byte(0); }

private:
  TStream& s_;
};

void ReadItem(FormReader& in, TStoredItem& item) {
  for (std::string name = in.PropertyName(); !name.empty(); name = in.PropertyName()) {
    if (name == "Compression") {
      const std::string value = in.Ident(name);
      int level = -1;
      for (int i = 0; i < 4; ++i)
        if (value == kLevelNames[i]) level = i;
      if (level < 0) Bad("unknown compression level \"" + value + "\"");
      item.SetCompression(static_cast<TCompressionLevel>(level));
    } else if (name == "Tag") {
      item.Tag = in.Integer(name);
    } else if (name == "Name") {
      item.SetName(in.TextValue(name));
    } else if (name == "FileName") {
      item.SetFileName(in.TextValue(name));
    } else if (name == "FileSize") {
      item.SetFileSize(in.Integer(name));
    } else if (name == "Size" || name == "Ratio") {
      in.Skip(name, in.Kind());  // figures follow from the data
    } else if (name == "StoredItem") {
      const std::string blob = in.Binary(name);
      TMemoryStream data;
      data.WriteString(blob);
      data.SetPosition(0);
      item.ReadData(data);
      if (data.Position() != data.Size()) Bad("\"StoredItem\" holds more than its data");
    } else {
      Bad("unknown item property \"" + name + "\"");
    }
  }
}

}  // namespace

void ReadStoredForm(TFileStorage& storage, TStream& stream) {
  FormReader in(stream);
  char signature[4];
  stream.ReadBuffer(signature, 4);
  if (std::string_view(signature, 4) != std::string_view(kSignature, 4)) Bad("no signature");
  if (in.Byte() != kFormatVersion) Bad("unknown format version");
  if (in.ShortText() != kClassName) Bad("not a TFileStorage");
  const std::string componentName = in.ShortText();

  // Whatever happens, the storage must not stay in its loading state, where
  // file names and sizes could be set from outside.
  storage.BeginLoading();
  auto loading = OnScopeExit([&storage] { storage.EndLoading(); });

  storage.SetName(componentName);
  for (std::string name = in.PropertyName(); !name.empty(); name = in.PropertyName()) {
    if (name == "StoredItems") {
      in.Expect(name, kCollection);
      TStoredItems* items = storage.StoredItems();
      items->Clear();
      for (uint8_t more = in.Byte(); more != 0; more = in.Byte()) {
        if (more != 1) Bad("damaged item list");
        ReadItem(in, *items->Add());
      }
    } else if (name == "OriginalSize" || name == "Size" || name == "Ratio" || name == "Version") {
      in.Skip(name, in.Kind());
    } else {
      Bad("unknown property \"" + name + "\"");
    }
  }
  if (!in.AtEnd()) Bad("data after the component");
}

void WriteStoredForm(TFileStorage& storage, TStream& stream) {
  FormWriter out(stream);
  stream.WriteBuffer(kSignature, 4);
  out.Byte(kFormatVersion);
  out.ShortText(kClassName);
  out.ShortText(storage.Name());
  out.Integer("OriginalSize", storage.OriginalSize());
  out.TextValue("Ratio", storage.Ratio());
  out.Integer("Size", storage.Size());
  out.Name("StoredItems", kCollection);
  TStoredItems* items = storage.StoredItems();
  for (int i = 0; i < items->Count(); ++i) {
    TStoredItem* item = items->Items(i);
    out.Byte(1);
    // Defaults are left out, as the reader starts from them.
    if (item->Compression() != TCompressionLevel::clDefault)
      out.Ident("Compression", kLevelNames[static_cast<int>(item->Compression())]);
    if (item->Tag != 0) out.Integer("Tag", item->Tag);
    out.TextValue("Name", item->Name());
    if (!item->FileName().empty()) out.TextValue("FileName", item->FileName());
    out.Integer("FileSize", item->FileSize());
    out.Integer("Size", item->Size());
    out.TextValue("Ratio", item->Ratio());
    if (item->HasData()) {
      TMemoryStream data;
      item->WriteData(data);
      out.Binary("StoredItem",
                 std::string_view(reinterpret_cast<const char*>(data.Memory()), static_cast<size_t>(data.Size())));
    }
    out.EndList();
  }
  out.Byte(0);
  out.TextValue("Version", storage.Version());
  out.EndList();
}

std::string_view WindowStoredData() {
  return {reinterpret_cast<const char*>(generated::kWindowStoredData), generated::kWindowStoredDataSize};
}

void LoadWindowStoredData(TFileStorage& storage) {
  TMemoryStream stream;
  stream.WriteString(WindowStoredData());
  stream.SetPosition(0);
  ReadStoredForm(storage, stream);
}

}  // namespace ts
