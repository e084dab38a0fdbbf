// Every accessor of the binding hands out an entry point.
#pragma once

#include "kelvra/Binding.h"

#include <gtest/gtest.h>

inline void ExpectAllTwelveEntryPoints()
{
    EXPECT_NE(kelvra::MapiLogOn(), nullptr);
    EXPECT_NE(kelvra::MapiLogOff(), nullptr);
    EXPECT_NE(kelvra::MapiSendMail(), nullptr);
    EXPECT_NE(kelvra::MapiSendDocuments(), nullptr);
    EXPECT_NE(kelvra::MapiFindNext(), nullptr);
    EXPECT_NE(kelvra::MapiReadMail(), nullptr);
    EXPECT_NE(kelvra::MapiSaveMail(), nullptr);
    EXPECT_NE(kelvra::MapiDeleteMail(), nullptr);
    EXPECT_NE(kelvra::MapiFreeBuffer(), nullptr);
    EXPECT_NE(kelvra::MapiAddress(), nullptr);
    EXPECT_NE(kelvra::MapiDetails(), nullptr);
    EXPECT_NE(kelvra::MapiResolveName(), nullptr);
}
