// How an envelope cache entry is kept in a row of its database: the file's
// key, the envelope's texts and flags, and the recipients in one column.
#pragma once

#include "cache/EnvelopeCache.h"

#include <sqlite3.h>

#include <string_view>

namespace kelvra_provider {

// A text column's bytes (empty for NULL), valid until the next step.
std::string_view Column(sqlite3_stmt *s, int i);
void Bind(sqlite3_stmt *s, int i, std::string_view text);
// Whether a result code says the file is damaged or no database.
bool Damaged(int rc);

// The file's key (name, size, mtime, nsec, inode) from column `first` on,
// and the envelope after it. False when the row is not what this library
// writes (its message is then read again).
bool EntryFromRow(sqlite3_stmt *s, int first, CachedEnvelope &entry);
// Binds an entry to the insert's parameters ?1 (the identifier) to ?15.
void BindEntry(sqlite3_stmt *insert, std::string_view id, const CachedEnvelope &entry);

} // namespace kelvra_provider
