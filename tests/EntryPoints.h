// Every accessor of the binding hands out an entry point.
#pragma once

#include "kelvra/Binding.h"
#include "mapi/EntryPoints.h"

#include <gtest/gtest.h>

inline void ExpectAllTwelveEntryPoints()
{
#define EXPECT_ACCESSOR(name, type, accessor) EXPECT_NE(kelvra::accessor(), nullptr) << #accessor;
    MAPI_ENTRY_POINTS(EXPECT_ACCESSOR)
#undef EXPECT_ACCESSOR
}
