// The provider's vCard reader and name resolution on any text.
#include "book/AddressBook.h"
#include "Errors.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const kmp::AddressBook book(kmp::ParseVCards(std::string_view(reinterpret_cast<const char *>(data), size)));
    try {
        book.Resolve("ann");
    } catch (const kmp::MapiError &) {
    }
    return 0;
}
