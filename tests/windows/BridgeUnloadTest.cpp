// The bridge's helper ends when the library is unloaded, even with a
// session still open in it: an application that frees a plugin using Kelvra
// leaves no helper behind. This program does not link the library; it
// reaches it through the plugin only (bridge_plugin.dll). Its mail client is
// registered under DLLPathEx, its DLLPath naming no file: the handler is
// found there first.
#include "BridgeSetup.h"

#include "mapi/SimpleMapi.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace bridge_test;

TEST(BridgeUnload, FreeingTheLibraryEndsItsHelper)
{
    Prepare("handle 0x42\n", true);
    HMODULE plugin = LoadLibraryW((kFolder + L"bridge_plugin.dll").c_str());
    ASSERT_NE(plugin, nullptr);
    using LogOnFn = ULONG (*)(LHANDLE *);
    const auto logOn = reinterpret_cast<LogOnFn>(reinterpret_cast<void *>(GetProcAddress(plugin, "BridgePluginLogOn")));
    ASSERT_NE(logOn, nullptr);
    LHANDLE session = 0;
    ASSERT_EQ(logOn(&session), SUCCESS_SUCCESS);
    EXPECT_EQ(session, 0x42u);

    std::vector<HANDLE> helpers;
    ForEachHelper([&](DWORD id) {
        if (HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id))
            helpers.push_back(process);
    });
    ASSERT_EQ(helpers.size(), 1u) << "no helper of ours, or more than one";

    ASSERT_TRUE(FreeLibrary(plugin));
    EXPECT_EQ(GetModuleHandleW(L"libkelvra.dll"), nullptr) << "the library is still loaded";
    EXPECT_EQ(WaitForSingleObject(helpers[0], 10000), WAIT_OBJECT_0) << "the helper outlived the library";
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(helpers[0], &code);
    EXPECT_EQ(code, 0u) << "the helper did not end by itself at the end of its input";
    CloseHandle(helpers[0]);
    EXPECT_EQ(KillHelpers(), 0);
}

} // namespace
