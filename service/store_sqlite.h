// The SQLite backend of the store: everything in one file, one connection.
#pragma once

#include <memory>
#include <string>

#include "service/store.h"

namespace pinleaf {

// Opens (creating when absent, readable by its owner only) the database at
// `path`; ":memory:" keeps it in memory. Raises EStoreError when it cannot be
// opened or written.
std::unique_ptr<TStoreBackend> OpenSqliteStore(const std::string& path);

// Copies the database at `path` into the file `to` while other processes go
// on using it: one consistent picture, as of the moment the copy starts,
// written to `to` + ".part", synced and then renamed. Raises EStoreError.
void BackupSqlite(const std::string& path, const std::string& to);

}  // namespace pinleaf
