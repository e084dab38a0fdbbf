// The provider's exports, declared from their lists (mapi/EntryPoints.h,
// mapi/KelvraProvider.h) with plain C linkage: Exports.cpp defines them,
// and a program linked to the provider itself calls them through these.
#pragma once

#include "mapi/EntryPoints.h"
#include "mapi/KelvraProvider.h"

#include <type_traits>

#define KMP_EXPORT extern "C" __attribute__((visibility("default")))

#define KMP_DECLARE_MAPI(name, type, ...) KMP_EXPORT std::remove_pointer_t<type> MAPI##name;
MAPI_ENTRY_POINTS(KMP_DECLARE_MAPI)
MAPI_OPTIONAL_ENTRY_POINTS(KMP_DECLARE_MAPI)
#undef KMP_DECLARE_MAPI

#define KMP_DECLARE_KELVRA(name, type) KMP_EXPORT std::remove_pointer_t<type> KelvraMapi##name;
KELVRA_PROVIDER_ENTRY_POINTS(KMP_DECLARE_KELVRA)
#undef KMP_DECLARE_KELVRA
