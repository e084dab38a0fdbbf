// The provider's user interface: on a terminal (standard input and output
// are terminals) it asks there; on a desktop (a display is set) it hands
// over to the desktop's programs, run with an argument vector so no shell
// ever sees the texts; otherwise there is none (MAPI_E_NOT_SUPPORTED).
#pragma once

#include "book/AddressBook.h"
#include "message/Message.h"

#include <optional>
#include <string>
#include <vector>

namespace kelvra_provider {

enum class Ui { Terminal, Desktop, None };
// The terminal wins over the desktop: a program run from one answers there.
Ui DetectUi();

struct Chosen {
    Mailbox mailbox;
    unsigned long recipClass; // MAPI_TO, MAPI_CC or MAPI_BCC
    std::string entryId;
};

// The address-book dialog: the book to pick from, the entries to start
// with, and how many edit fields (0 = browse only, 1..4). MAPI_USER_ABORT
// when the user cancels.
std::vector<Chosen> AddressDialog(const AddressBook &book, std::vector<Chosen> start, unsigned editFields,
                                  const std::string &caption, const std::string &label);

// One entry's details, shown until the user is done with them.
void DetailsDialog(const Resolved &entry);

// Lets the user pick one of several matches of a name.
Resolved PickDialog(const std::string &name, const std::vector<Resolved> &matches);

// The compose dialog: on a desktop the message goes to the user's mail
// client (HandOff.h) and the result says it was handed over (true); on a
// terminal it is shown and the user confirms (false: send it here) or
// cancels (MAPI_USER_ABORT).
bool ComposeDialog(const Composition &message);

// One line typed on the terminal (MAPI_E_NOT_SUPPORTED without one).
std::string AskLine(const std::string &prompt);

// Asks for a password on the terminal, without echo; nullopt when there is
// no terminal. MAPI_USER_ABORT at end of input.
std::optional<std::string> AskPassword(const std::string &profile);

} // namespace kelvra_provider
