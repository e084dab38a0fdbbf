#include "Probe.h"

#include "host/Exception.h"

#include <gtest/gtest.h>

#include <memory>

using probe::Log;
using probe::TProbe;

namespace {

class Component : public ::testing::Test {
protected:
    void SetUp() override { Log().clear(); }
    void TearDown() override { EXPECT_EQ(probe::Alive(), 0); }

    static TProbe *Make(host::TComponent *owner, const char16_t *name)
    {
        auto *p = new TProbe(owner);
        p->SetName(name);
        return p;
    }
};

} // namespace

TEST_F(Component, OwnerDestroysWhatItOwnsLastFirstAndSiblingsAreTold)
{
    auto form = std::make_unique<host::TComponent>(nullptr);
    form->SetName(u"Form");
    Make(form.get(), u"A");
    TProbe *b = Make(form.get(), u"B");
    Make(b, u"B1");
    Make(form.get(), u"C");
    ASSERT_EQ(form->ComponentCount(), 3u);
    EXPECT_EQ(form->FindComponent(u"b"), b);
    EXPECT_EQ(form->FindComponent(u"B1"), nullptr); // only what it owns itself
    Log().clear();
    form.reset();
    // C goes first and A, B hear of it; B's own B1 goes with B; A goes last.
    // An owner passes notices on to what it owns, so B1 hears of C too.
    const std::vector<std::string> expected = {"B1 told C goes", "B told C goes", "A told C goes", "A told B goes"};
    EXPECT_EQ(Log(), expected);
}

TEST_F(Component, FreeNotificationReachesAcrossOwnersAndIsDroppedBothWays)
{
    auto formA = std::make_unique<host::TComponent>(nullptr);
    auto formB = std::make_unique<host::TComponent>(nullptr);
    TProbe *target = Make(formA.get(), u"Target");
    TProbe *user = Make(formB.get(), u"User");
    user->SetLink(target);
    formA.reset(); // the target goes with a different owner
    EXPECT_EQ(user->GetLink(), nullptr);

    // The other way round: the user goes first; the target must not keep
    // a stale entry that it would notify later.
    formA = std::make_unique<host::TComponent>(nullptr);
    target = Make(formA.get(), u"Target");
    user->SetLink(target);
    formB.reset();
    Log().clear();
    formA.reset();
    EXPECT_EQ(Log(), std::vector<std::string>{});
}

TEST_F(Component, NamesAreIdentifiersAndUniqueUnderOneOwner)
{
    host::TComponent form(nullptr);
    TProbe *a = Make(&form, u"Alpha");
    TProbe *b = Make(&form, u"");
    EXPECT_THROW(b->SetName(u"ALPHA"), host::Exception);
    EXPECT_THROW(b->SetName(u"1abc"), host::Exception);
    EXPECT_THROW(b->SetName(u"a b"), host::Exception);
    b->SetName(u"Beta");
    a->SetName(u"alpha"); // itself, in another case
    EXPECT_EQ(a->Name(), u"alpha");

    // Taken out of its owner, a component is its caller's.
    form.RemoveComponent(b);
    EXPECT_EQ(b->Owner(), nullptr);
    EXPECT_EQ(form.ComponentCount(), 1u);
    std::unique_ptr<TProbe> owned(b);
    form.InsertComponent(owned.release());
    EXPECT_EQ(b->Owner(), &form);
}

TEST_F(Component, DesigningReachesOwnedComponentsAndLoadedEndsLoading)
{
    host::TComponent form(nullptr);
    TProbe *a = Make(&form, u"A");
    form.SetDesigning(true);
    EXPECT_TRUE(a->ComponentState().Contains(host::TComponentStateFlag::csDesigning));
    EXPECT_FALSE(a->ComponentState().Contains(host::TComponentStateFlag::csLoading));
}
