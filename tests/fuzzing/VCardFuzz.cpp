// The provider's vCard reader and name resolution on any text.
#include "book/AddressBook.h"
#include "Errors.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const kelvra_provider::AddressBook book(kelvra_provider::ParseVCards(std::string_view(reinterpret_cast<const char *>(data), size)));
    try {
        book.Resolve("ann");
    } catch (const kelvra_provider::MapiError &) {
    }
    return 0;
}
