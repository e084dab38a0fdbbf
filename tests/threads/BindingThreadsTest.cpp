// Runs alone in its process: threads that make their first call at once
// load the platform library once, and a failed load is tried again.
#include "kelvra/Kelvra.h"

#include "host/Application.h"
#include "host/OpenDialog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;

// Runs `body` on kThreads threads released at the same moment.
template <class Body>
void AllAtOnce(Body body)
{
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            body(i);
        });
    for (std::thread &t : threads)
        t.join();
}

} // namespace

TEST(BindingThreads, FirstCallsAtOnceLoadOnceAndAFailedLoadIsRetried)
{
    kelvra::MAPIDLL = u"no-such-mapi-library.dll";
    std::atomic<int> failures{0};
    AllAtOnce([&](int) {
        try {
            kelvra::MapiLogOn();
        } catch (const kelvra::EKelvraError &e) {
            if (e.ErrorCode == 0)
                ++failures;
        }
    });
    EXPECT_EQ(failures.load(), kThreads);

    // The setting is changed and read from several threads; the first calls
    // after it load the library once and all see the same entry points.
    kelvra::MAPIDLL = u"" KELVRA_FAKEMAPI_NAME;
    std::vector<LPMAPIFREEBUFFER> seen(kThreads);
    std::vector<LPMAPILOGON> logons(kThreads);
    AllAtOnce([&](int i) {
        const host::String name = kelvra::MAPIDLL;
        EXPECT_FALSE(name.empty());
        seen[i] = kelvra::MapiFreeBuffer();
        logons[i] = kelvra::MapiLogOn();
    });
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_NE(seen[i], nullptr);
        EXPECT_EQ(seen[i], seen[0]);
        EXPECT_EQ(logons[i], logons[0]);
    }
    EXPECT_EQ(kelvra::MapiFreeBuffer()(nullptr), 0u);
}

TEST(BindingThreads, TheApplicationsSettingsMayBeUsedFromAnyThread)
{
    std::atomic<int> handled{0};
    AllAtOnce([&](int i) {
        if (i % 2 == 0)
            host::Application().SetOnException([&](const std::exception &) { ++handled; });
        else
            host::Application().HandleException(std::runtime_error("x"));
        host::Application().SetHandle(static_cast<std::uintptr_t>(i));
        (void)host::Application().Handle();
        host::SetOpenDialogBackend({});
    });
    host::Application().SetOnException({});
    EXPECT_LE(handled.load(), kThreads / 2);
}
