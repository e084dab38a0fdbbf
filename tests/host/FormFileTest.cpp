#include "Probe.h"

#include "host/Exception.h"
#include "host/FormFile.h"

#include <gtest/gtest.h>

using probe::Log;
using probe::TProbe;

namespace {

class FormFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        probe::Register();
        Log().clear();
    }
    void TearDown() override { EXPECT_EQ(probe::Alive(), 0); }
};

const char kForm[] =
    "object Form: TComponent\n"
    "  object First: TProbe\n"
    "    Caption = 'It''s'#13#10'caf\xC3\xA9 \xF0\x9F\x98\x80'#55296\n"
    "    Enabled = True\n"
    "    Count = -42\n"
    "    Options = [poOne, poThree]\n"
    "    Lines = (\n"
    "      'a'\n"
    "      ''\n"
    "      'b')\n"
    "    Link = Second\n"
    "  end\n"
    "  object Second: TProbe\n"
    "    Enabled = False\n"
    "    Options = []\n"
    "    Lines = ()\n"
    "  end\n"
    "end\n";

} // namespace

TEST_F(FormFile, RoundTripsEveryKindOfPropertyInDeclaredOrder)
{
    auto form = host::ReadForm(kForm);
    auto *first = static_cast<TProbe *>(form->FindComponent(u"First"));
    auto *second = static_cast<TProbe *>(form->FindComponent(u"Second"));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->GetCaption(), u"It's\r\ncaf\u00e9 \U0001F600" + host::String(1, char16_t(0xD800)));
    EXPECT_TRUE(first->GetEnabled());
    EXPECT_EQ(first->GetCount(), -42);
    EXPECT_EQ(first->GetOptions(), (probe::TProbeOptions{probe::TProbeOption::poOne, probe::TProbeOption::poThree}));
    EXPECT_EQ(first->GetLines().Lines(), (std::vector<host::String>{u"a", u"", u"b"}));
    EXPECT_EQ(first->GetLink(), second);

    // Written back, it is the same text: stored-when rules leave out the
    // empty caption, zero count, null link and the never-stored secret.
    first->SetSecret(u"not stored");
    EXPECT_EQ(host::WriteForm(*form), kForm);
}

TEST_F(FormFile, ReferencesAreFixedUpAfterAllAreReadThenEachIsLoaded)
{
    auto form = host::ReadForm(kForm);
    // Caption was set while loading, the forward reference only after
    // Second was read, and Loaded came last, in reading order.
    const std::vector<std::string> expected = {"First.Caption loading", "First.Link=Second", "Loaded First link=Second",
                                               "Loaded Second"};
    EXPECT_EQ(Log(), expected);
    for (size_t i = 0; i < form->ComponentCount(); ++i)
        EXPECT_FALSE(form->Components(i)->ComponentState().Contains(host::TComponentStateFlag::csLoading));

    auto designed = host::ReadForm(kForm, {.Designing = true});
    EXPECT_TRUE(designed->Components(0)->ComponentState().Contains(host::TComponentStateFlag::csDesigning));
}

TEST_F(FormFile, MalformedFilesNameTheLineAndBuildNothing)
{
    struct {
        const char *text;
        const char *message;
    } rows[] = {
        {"object Form: TComponent\n  object A: TNoSuch\n  end\nend\n", "line 2: unknown component class 'TNoSuch'"},
        {"object Form: TComponent\n  object A: TProbe\n    Colour = 'red'\n  end\nend\n", "line 3: unknown property 'Colour' of TProbe"},
        {"object Form: TComponent\n  object A: TProbe\n    Caption = 'open\n  end\nend\n", "line 3: text not closed"},
        {"object Form: TComponent\n  object A: TProbe\n    Enabled = Yes\n  end\nend\n", "line 3: property 'Enabled' needs True or False"},
        {"object Form: TComponent\n  object A: TProbe\n    Options = [poFour]\n  end\nend\n", "line 3: 'poFour' is not a member"},
        {"object Form: TComponent\n  object A: TProbe\n    Link = Nobody\n  end\nend\n", "line 3: no component named 'Nobody'"},
        {"object Form: TComponent\n  object A: TProbe\n  end\n  object a: TProbe\n  end\nend\n", "line 4: A component named a already exists"},
        {"object Form: TComponent\n  object A: TProbe\n    Caption = 'x'\n", "line 4: missing 'end' of the object started on line 2"},
        {"object Form: TComponent\nend\nend\n", "line 3: text after the last 'end'"},
        {"object Form: TComponent\n  object A: TProbe\n    Caption = #70000\n  end\nend\n", "line 3: '#' needs a character code"},
        {"object Form: TComponent\n  object A: TProbe\n    Count = 99999999999999999999\n  end\nend\n", "line 3: number out of range"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        try {
            host::ReadForm(row.text);
            ADD_FAILURE() << "no exception";
        } catch (const host::Exception &e) {
            EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << e.what();
        }
        EXPECT_EQ(probe::Alive(), 0);
    }
}

TEST_F(FormFile, FailuresOfSettersAndLoadedPassUnchangedAndDestroyTheTree)
{
    const char *texts[] = {
        "object Form: TComponent\n  object A: TProbe\n  end\n  object B: TProbe\n    Count = -1000\n  end\nend\n",
        "object Form: TComponent\n  object A: TProbe\n    Caption = 'fail in Loaded'\n  end\nend\n",
    };
    const char *messages[] = {"Count too small", "Loaded failed"};
    for (int i = 0; i < 2; ++i) {
        try {
            host::ReadForm(texts[i]);
            ADD_FAILURE() << "no exception";
        } catch (const host::Exception &e) {
            EXPECT_STREQ(e.what(), messages[i]);
        }
        EXPECT_EQ(probe::Alive(), 0);
    }
}

TEST_F(FormFile, AReferenceOutsideTheFormCannotBeWritten)
{
    host::TComponent form(nullptr);
    auto *a = new TProbe(&form);
    a->SetName(u"A");
    TProbe outsider(nullptr);
    outsider.SetName(u"Outsider");
    a->SetLink(&outsider);
    EXPECT_THROW(host::WriteForm(form), host::Exception);
    a->SetLink(nullptr);
}

TEST_F(FormFile, ReferencesResolveWhereTheReferringComponentStandsAndNamesRoundTrip)
{
    // Two owners each own a "Target"; the link of one owner's child names
    // its own owner's Target, not the first one found in the file.
    host::TComponent form(nullptr);
    form.SetName(u"Form");
    TProbe *owners[2] = {new TProbe(&form), new TProbe(&form)};
    owners[0]->SetName(u"Left");
    owners[1]->SetName(u"Right");
    for (TProbe *owner : owners)
        (new TProbe(owner))->SetName(u"Target");
    auto *user = new TProbe(owners[1]);
    user->SetName(u"User");
    user->SetLink(static_cast<TProbe *>(owners[1]->FindComponent(u"Target")));
    const std::string text = host::WriteForm(form);
    auto read = host::ReadForm(text);
    host::TComponent *right = read->FindComponent(u"Right");
    auto *readUser = static_cast<TProbe *>(right->FindComponent(u"User"));
    EXPECT_EQ(readUser->GetLink(), right->FindComponent(u"Target"));
    EXPECT_EQ(host::WriteForm(*read), text);

    // A name its reference cannot find from where it stands is not written.
    user->SetLink(static_cast<TProbe *>(owners[0]->FindComponent(u"Target")));
    EXPECT_THROW(host::WriteForm(form), host::Exception);
    user->SetLink(nullptr);

    // "nil" means no component: no component may be named so.
    EXPECT_THROW(user->SetName(u"nil"), host::Exception);
    EXPECT_THROW(user->SetName(u"NIL"), host::Exception);
    EXPECT_EQ(user->Name(), u"User");
}

TEST_F(FormFile, NestingIsBoundedBothWays)
{
    std::string deep;
    for (int i = 0; i < host::kMaxFormDepth + 1; ++i)
        deep += "object TComponent\n";
    for (int i = 0; i < host::kMaxFormDepth + 1; ++i)
        deep += "end\n";
    try {
        host::ReadForm(deep);
        ADD_FAILURE() << "no exception";
    } catch (const host::Exception &e) {
        EXPECT_NE(std::string(e.what()).find("nest deeper than 64 levels"), std::string::npos) << e.what();
    }
    host::TComponent root(nullptr);
    host::TComponent *owner = &root;
    for (int i = 0; i < host::kMaxFormDepth; ++i)
        owner = new host::TComponent(owner);
    EXPECT_THROW(host::WriteForm(root), host::Exception);
}
