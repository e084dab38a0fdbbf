// A plugin that uses Kelvra, as an application loads one and frees it: the
// unload test reaches the library through it alone, so that freeing the
// plugin unloads the library too.
#include "kelvra/Binding.h"

extern "C" __declspec(dllexport) ULONG BridgePluginLogOn(LHANDLE *session)
{
    return kelvra::MapiLogOn()(0, nullptr, nullptr, 0, 0, session);
}
