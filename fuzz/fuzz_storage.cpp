// The storage's stored form data and the stored-item reader on arbitrary
// bytes. Input: byte 0 chooses the route: odd, the bytes are a whole stored
// form; even, they are one item's "StoredItem" data (length, then the stored
// file) read at the compression level bits 1-2 give, and extracted.
#include "fuzz/fuzz_common.h"
#include "runtime/exception.h"
#include "storage/filestorage.h"
#include "storage/storedform.h"

using namespace ts;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  TMemoryStream in;
  in.WriteBuffer(data + 1, static_cast<int64_t>(size - 1));
  in.SetPosition(0);

  TFileStorage storage(nullptr);
  if (data[0] & 1) {
    try {
      ReadStoredForm(storage, in);
    } catch (const EFileStorageError&) {
    } catch (const EReadError&) {
    } catch (const EZLibError&) {
    }
    FUZZ_CHECK(!storage.Loading(), "the storage leaves its loading state");
  } else {
    TStoredItem* item = storage.StoredItems()->Add();
    try {
      item->ReadData(in);
    } catch (const EReadError&) {
      FUZZ_CHECK(item->Size() == 0, "a short read leaves no data behind");
    }
    storage.BeginLoading();
    item->SetCompression(static_cast<TCompressionLevel>((data[0] >> 1) & 3));
    storage.EndLoading();
  }

  for (int i = 0; i < storage.StoredItems()->Count(); ++i) {
    TStoredItem* item = storage.StoredItems()->Items(i);
    TMemoryStream out;
    out.WriteString("keep");
    try {
      item->ExtractTo(&out);
      if (item->Compression() == TCompressionLevel::clNone)
        FUZZ_CHECK(out.Size() == 4 + item->Size(), "raw data comes out as it is");
    } catch (const EReadError&) {
      FUZZ_CHECK(out.DataString() == "keep", "damaged data leaves the target as it was");
    } catch (const EZLibError&) {
      FUZZ_CHECK(out.DataString() == "keep", "damaged data leaves the target as it was");
    }
    // Whatever came out can be stored again and gives the same bytes back.
    if (out.Size() > 4 && out.Size() < (1 << 20)) {
      TMemoryStream file;
      file.WriteBuffer(static_cast<const uint8_t*>(out.Memory()) + 4, out.Size() - 4);
      TStoredItem* copy = storage.StoredItems()->Add();
      copy->LoadFrom(&file);
      TMemoryStream back;
      copy->ExtractTo(&back);
      FUZZ_CHECK(back.DataString() == file.DataString(), "a stored file comes back unchanged");
      delete copy;
    }
  }
  return 0;
}
