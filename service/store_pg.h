// The PostgreSQL backend of the store: one database shared by every instance
// of the service, reached through a bounded pool of libpq connections.
#pragma once

#include <memory>
#include <string>

#include "service/store.h"

namespace pinleaf {

// Connects to `uri` (a postgresql:// URI; what it leaves out comes from
// libpq's environment variables), with `password` when not empty, holding at
// most `pool` connections, and brings the schema up to date under an
// advisory lock. Raises EStoreUnavailable when the database cannot be reached.
std::unique_ptr<TStoreBackend> OpenPgStore(const std::string& uri, const std::string& password, int pool);

}  // namespace pinleaf
