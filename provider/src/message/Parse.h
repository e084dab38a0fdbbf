// A stored message file parsed through GMime, and mended where GMime 3.2.13
// reads a malformed message otherwise than mail readers do (a part's header
// block that runs into its body, delimiter lines GMime does not match, a
// content end one line break short), so that a read shows what readers
// show and a save knows which bytes are the file's own.
#pragma once

#include "message/Envelope.h"

#include <gmime/gmime.h>

#include <string>

namespace kelvra_provider {

// The message of a stored file (never null: no header block at all is an
// empty message). MAPI_E_INVALID_MESSAGE when the file is gone; a FIFO or
// anything else that is not a regular file is never opened for reading.
// How a parsed file stands: where its header block is (`known`: found
// within the bounds ReadHeaderStart reads), and whether the offsets GMime
// gives of its parts (header offsets, content bounds) are the file's own.
struct MessageLayout {
    bool known = false;
    HeaderBounds bounds;
    bool partOffsets = false;
};
GMimeMessage *ParseMessageFile(const std::string &path, MessageLayout *layout = nullptr);

} // namespace kelvra_provider
