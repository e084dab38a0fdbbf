// A walk's step over a folder's index: where a seed stands, and the class
// of the message at a place in the walk, from what is known of it, the
// persistent cache or its header block (read ahead of the walk).
#pragma once

#include "maildir/Index.h"

#include <memory>
#include <string>

namespace kelvra_provider::maildir {

// Where a walk goes on after `seed`: in name order after it, in arrival
// order after where it stood (also when it vanished since). Called with the
// lock held.
size_t PositionAfter(const Index &index, const std::string &seed, bool fifo);

// At a walk's end: the persistent cache loses the entries of messages this
// listing no longer has, once a listing. Called with the lock held.
void PruneCache(Index &index, const std::string &root, const std::string &cacheFolder);

// The class of the walk's listed message at `at` ("" for ordinary mail, and
// for one whose header cannot be read or is too long). Called with the lock
// held.
const std::string &ClassOf(Index &index, const std::string &root, const std::string &cacheFolder, bool fifo, size_t at);

} // namespace kelvra_provider::maildir
