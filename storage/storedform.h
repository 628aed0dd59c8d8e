// The stored form data of a storage component: the resource the window reads
// its FileStorage1 from when it is created. The cues are produced into this form
// at build time (scripts/gen_cues.py) and linked into the program.
//
// Layout, all numbers little-endian:
//   "TSFD", u8 format version (1)
//   text class name ("TFileStorage"), text component name, property list
//   property list := { u8 name length, name bytes, u8 kind, value } u8 0
//   kinds and their values:
//     1 integer     4 bytes, signed
//     2 text        u32 length, bytes
//     3 identifier  u8 length, bytes (an enumeration value such as "clNone")
//     4 binary      u32 length, bytes (what the item's "StoredItem" writer wrote)
//     5 collection  { u8 1, property list of one item } u8 0
// The storage's figures (OriginalSize, Ratio, Size, Version) and an item's Size
// and Ratio are written for the reader of the resource but ignored when read.
#pragma once

#include <string_view>

#include "runtime/stream.h"
#include "storage/filestorage.h"

namespace ts {

// Reads the storage's name and items from `stream`, replacing its items. The
// storage is in its loading state meanwhile, so stored names, file names, sizes
// and compression levels apply as they are. Damaged data raises
// EFileStorageError, EReadError or EDecompressionError; never a crash.
void ReadStoredForm(TFileStorage& storage, TStream& stream);
void WriteStoredForm(TFileStorage& storage, TStream& stream);

// The window's own storage data, built into the program.
std::string_view WindowStoredData();
// Fills the storage from it: item 0 the start cue, item 1 the end cue.
void LoadWindowStoredData(TFileStorage& storage);

}  // namespace ts
