// A MAPIDLL naming a missing DLL: the system's own text for the error,
// ": " and the name. Runs alone in its process.
#include "kelvra/Kelvra.h"

#include <windows.h>

#include <gtest/gtest.h>

TEST(WindowsBinding, AMissingLibraryGivesTheSystemsMessageAndTheName)
{
    // The text the system's message table holds for "module not found".
    wchar_t *buffer = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, ERROR_MOD_NOT_FOUND, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    ASSERT_NE(buffer, nullptr);
    host::String text(buffer, buffer + wcslen(buffer));
    LocalFree(buffer);
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' '))
        text.pop_back();
    ASSERT_FALSE(text.empty());

    kelvra::MAPIDLL = u"no-such-mapi-library.dll";
    try {
        kelvra::InitMapi();
        ADD_FAILURE() << "no exception";
    } catch (const kelvra::EKelvraError &e) {
        EXPECT_EQ(e.ErrorCode, 0);
        EXPECT_EQ(e.Message(), text + u": no-such-mapi-library.dll");
    }
}
