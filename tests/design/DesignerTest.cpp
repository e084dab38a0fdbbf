// The designer's interface: attribute sets, the registry's lookup rules,
// the default editors, package records and bitmaps.
#include "../host/Probe.h"
#include "RecordingDesigner.h"

#include "designer/Bitmap.h"
#include "designer/PackageInfo.h"
#include "designer/Registry.h"
#include "host/Exception.h"
#include "host/Palette.h"

#include <gtest/gtest.h>

using designer::TPropertyAttribute;
using probe::TProbe;

namespace {

// Editor classes that only have a name, to tell bindings apart.
template <int N>
struct Marked : designer::TStringProperty {
    using TStringProperty::TStringProperty;
};
const designer::TPropertyEditorClass kA = designer::PropertyEditorClass<Marked<1>>("A");
const designer::TPropertyEditorClass kB = designer::PropertyEditorClass<Marked<2>>("B");
const designer::TPropertyEditorClass kC = designer::PropertyEditorClass<Marked<3>>("C");
const designer::TPropertyEditorClass kD = designer::PropertyEditorClass<Marked<4>>("D");

struct Verbose : designer::TComponentEditor {
    using TComponentEditor::TComponentEditor;
    const designer::TComponentEditorClass &ClassType() const override;
};
const designer::TComponentEditorClass kVerbose = designer::ComponentEditorClass<Verbose>("Verbose");
const designer::TComponentEditorClass &Verbose::ClassType() const { return kVerbose; }

class Registry : public ::testing::Test {
protected:
    void TearDown() override { designer::UnregisterModule(nullptr); }
};

} // namespace

TEST(Attributes, AreTwoBytesWithFixedPositions)
{
    using A = TPropertyAttribute;
    static_assert(sizeof(designer::TPropertyAttributes) == 2);
    const struct {
        designer::TPropertyAttributes set;
        std::uint16_t bits;
        const char *text;
    } rows[] = {
        {{A::paDialog}, 0x0004, "[paDialog]"},
        {{A::paDialog, A::paMultiSelect, A::paAutoUpdate, A::paRevertable}, 0x009C,
         "[paDialog, paMultiSelect, paAutoUpdate, paRevertable]"},
        {{A::paValueList}, 0x0001, "[paValueList]"},
        {{A::paSortList}, 0x0020, "[paSortList]"},
        {{}, 0x0000, "[]"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_EQ(row.set.Bits(), row.bits);
        EXPECT_EQ(designer::AttributesText(row.set), row.text);
    }
}

TEST_F(Registry, PropertyEditorsAreLookedUpAlongTheClassesParents)
{
    const host::TComponentClass &probe = TProbe::StaticClass();
    const host::TComponentClass &base = host::TComponent::StaticClass();
    const host::TPropertyInfo &caption = *probe.FindProperty("Caption");
    const host::TPropertyInfo &secret = *probe.FindProperty("Secret");
    const host::TPropertyInfo &count = *probe.FindProperty("Count");

    EXPECT_EQ(&designer::FindPropertyEditor(probe, caption), &designer::TStringProperty::StaticClass());
    EXPECT_EQ(&designer::FindPropertyEditor(probe, count), &designer::TIntegerProperty::StaticClass());

    designer::RegisterPropertyEditor(host::TPropertyKind::pkText, nullptr, "", kA);    // every text
    EXPECT_EQ(designer::FindPropertyEditor(probe, secret).Name, "A");
    designer::RegisterPropertyEditor(host::TPropertyKind::pkText, &base, "", kB);      // nearer class
    EXPECT_EQ(designer::FindPropertyEditor(probe, secret).Name, "B");
    designer::RegisterPropertyEditor(host::TPropertyKind::pkText, &probe, "Caption", kC); // the class itself, named
    designer::RegisterPropertyEditor(host::TPropertyKind::pkText, &probe, "", kD);     // ... unnamed, later
    EXPECT_EQ(designer::FindPropertyEditor(probe, caption).Name, "C") << "named beats unnamed at one class";
    EXPECT_EQ(designer::FindPropertyEditor(probe, secret).Name, "D");
    EXPECT_EQ(&designer::FindPropertyEditor(probe, count), &designer::TIntegerProperty::StaticClass())
        << "a text binding leaves integers alone";
    designer::RegisterPropertyEditor(host::TPropertyKind::pkText, &probe, "Caption", kA);
    EXPECT_EQ(designer::FindPropertyEditor(probe, caption).Name, "A") << "the later of equals wins";

    // A name the class does not publish, or publishes as another kind, is refused.
    EXPECT_THROW(designer::RegisterPropertyEditor(host::TPropertyKind::pkText, &probe, "Captoin", kA),
                 host::Exception);
    EXPECT_THROW(designer::RegisterPropertyEditor(host::TPropertyKind::pkText, &probe, "Count", kA), host::Exception);
    EXPECT_EQ(designer::Registrations().size(), 5u);
}

TEST_F(Registry, ComponentEditorsPalettesAndModules)
{
    const host::TComponentClass &probe = TProbe::StaticClass();
    EXPECT_EQ(&designer::FindComponentEditor(probe), &designer::TDefaultEditor::StaticClass());
    designer::RegisterComponentEditor(host::TComponent::StaticClass(), kVerbose);
    EXPECT_EQ(designer::FindComponentEditor(probe).Name, "Verbose");

    int module = 0;
    {
        designer::TModuleRegistration scope(&module);
        EXPECT_THROW(designer::TModuleRegistration(nullptr), host::Exception);
        host::RegisterComponents(u"One", {&probe});
        host::RegisterComponents(u"Two", {&host::TComponent::StaticClass()});
        host::RegisterComponents(u"One", {&host::TComponent::StaticClass(), &probe});
        designer::RegisterComponentEditor(probe, designer::TDefaultEditor::StaticClass());
    }
    const auto pages = designer::PalettePages();
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].Name, u"One");
    EXPECT_EQ(pages[0].Classes, (std::vector<const host::TComponentClass *>{&probe, &host::TComponent::StaticClass()}));
    EXPECT_EQ(pages[1].Name, u"Two");
    EXPECT_EQ(&designer::FindComponentEditor(probe), &designer::TDefaultEditor::StaticClass());
    EXPECT_THROW(host::RegisterComponents(u"", {&probe}), host::Exception);
    EXPECT_THROW(host::RegisterComponents(u"One", {nullptr}), host::Exception);

    designer::UnregisterModule(&module);
    EXPECT_TRUE(designer::PalettePages().empty());
    EXPECT_EQ(designer::FindComponentEditor(probe).Name, "Verbose") << "the host's own registration stays";
}

TEST(DefaultEditors, ValueTextOfEveryKind)
{
    TProbe form(nullptr);
    form.SetName(u"Form");
    auto *a = new TProbe(&form);
    a->SetName(u"A");
    auto *b = new TProbe(&form);
    b->SetName(u"B");
    RecordingDesigner designer(form);

    const struct {
        const char *property;
        const char16_t *typed;
        const char16_t *shown; // null: refused
    } rows[] = {
        {"Caption", u"It's", u"It's"},
        {"Enabled", u" true ", u"True"},
        {"Enabled", u"yes", nullptr},
        {"Count", u"+42", u"42"},
        {"Count", u"-7", u"-7"},
        {"Count", u"4x", nullptr},
        {"Count", u"99999999999999999999", nullptr},
        {"Count", u"-101", nullptr}, // the setter raises
        {"Options", u"[poThree, poone]", u"[poOne, poThree]"},
        {"Options", u"", u"[]"},
        {"Options", u"[poFour]", nullptr},
        {"Lines", u"x\r\ny\n", u"x\r\ny\r\n"},
        {"Link", u"B", u"B"},
        {"Link", u"", u""},
        {"Link", u"Nobody", nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.property) + " " + host::ToUtf8(row.typed));
        auto editor = designer::CreatePropertyEditor(designer, {a, b}, row.property);
        const int before = designer.modified;
        if (row.shown == nullptr) {
            EXPECT_THROW(editor->SetValue(row.typed), host::Exception);
            continue;
        }
        editor->SetValue(row.typed);
        EXPECT_EQ(designer.modified, before + 1);
        EXPECT_EQ(editor->GetValue(), row.shown);
        EXPECT_TRUE(editor->AllEqual()) << "a typed value goes to every selected component";
    }
    // The reference list offers the components of the referred class.
    std::vector<host::String> listed;
    designer::CreatePropertyEditor(designer, {a}, "Link")->GetValues([&](const host::String &v) { listed.push_back(v); });
    EXPECT_EQ(listed, (std::vector<host::String>{u"Form", u"A", u"B"}));
    // Edit on a value list moves to the next value.
    auto enabled = designer::CreatePropertyEditor(designer, {a}, "Enabled");
    enabled->Edit();
    EXPECT_EQ(enabled->GetValue(), u"False");
    EXPECT_THROW(designer::CreatePropertyEditor(designer, {a}, "Colour"), host::Exception);
    EXPECT_THROW(designer::CreatePropertyEditor(designer, {}, "Caption"), host::Exception);
}

TEST(PackageInfo, RoundTripsAndRefusesWhatIsNotALayout)
{
    designer::TPackageInfo info;
    info.Options = {designer::TPackageOption::poDesignOnly};
    info.Requires = {"designide260.bpl", "vcl260.bpl"};
    info.Units = {{designer::TUnitKind::ukPackage, "KelvraP"}, {designer::TUnitKind::ukStartup, "Sys\xC3\xA9"}};
    const std::vector<std::uint8_t> bytes = designer::WritePackageInfo(info);
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 12),
              (std::vector<std::uint8_t>{'K', 'P', 'K', 'I', 1, 0, 1, 1, 2, 0, 2, 0}));
    EXPECT_EQ(designer::ReadPackageInfo(bytes), info);

    const auto changed = [&](std::size_t at, std::uint8_t value) {
        auto b = bytes;
        b.at(at) = value;
        return b;
    };
    const struct {
        const char *what;
        std::vector<std::uint8_t> bytes;
    } bad[] = {
        {"empty", {}},
        {"signature", changed(0, 'X')},
        {"version", changed(4, 2)},
        {"module kind", changed(6, 0)},
        {"both options", changed(7, 3)},
        {"unknown option", changed(7, 5)},
        {"count beyond the bytes", changed(10, 3)},
        {"name beyond the bytes", changed(12, 0xFF)},
        {"empty name", changed(12, 0)},
        {"zero inside a name", changed(14, 0)},
        {"bad UTF-8", changed(bytes.size() - 1, 0xC3)},
        {"unit kind", changed(bytes.size() - 7, 9)},
        {"truncated", std::vector<std::uint8_t>(bytes.begin(), bytes.end() - 1)},
        {"trailing", [&] { auto b = bytes; b.push_back(0); return b; }()},
    };
    for (const auto &row : bad) {
        SCOPED_TRACE(row.what);
        EXPECT_THROW(designer::ReadPackageInfo(row.bytes), host::Exception);
    }
    info.Options = {designer::TPackageOption::poDesignOnly, designer::TPackageOption::poRunOnly};
    EXPECT_THROW(designer::WritePackageInfo(info), host::Exception);
    info.Options = {};
    info.Requires = {""};
    EXPECT_THROW(designer::WritePackageInfo(info), host::Exception);
}

TEST(Bitmap, DecodesAndRefusesMalformedBitmaps)
{
    // 2 x 2, 1 bit per pixel, two colours, bottom row first.
    std::vector<std::uint8_t> dib(40 + 8 + 8, 0);
    const auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            dib[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(0, 40), put(4, 2), put(8, 2), dib[12] = 1, dib[14] = 1, put(32, 2);
    put(44, 0x00FF0000); // colour 1: red (blue, green, red, 0)
    dib[48] = 0x40;      // bottom row: 0, 1
    dib[52] = 0x80;      // top row: 1, 0
    const designer::TBitmapImage image = designer::DecodeBitmap(dib);
    ASSERT_EQ(image.Pixels.size(), 4u);
    EXPECT_EQ(image.Pixels[0], (std::array<std::uint8_t, 3>{0xFF, 0, 0}));
    EXPECT_EQ(image.Pixels[1], (std::array<std::uint8_t, 3>{0, 0, 0}));
    EXPECT_EQ(image.Pixels[3], (std::array<std::uint8_t, 3>{0xFF, 0, 0}));
    const auto file = designer::BitmapFile(dib);
    EXPECT_EQ(file.size(), 14 + dib.size());
    EXPECT_EQ(file[10], 14 + 48); // the pixels' offset

    const struct {
        const char *what;
        std::size_t at;
        std::uint32_t value;
    } bad[] = {{"header size", 0, 12}, {"width", 4, 0}, {"bits", 14, 3}, {"compressed", 16, 1},
               {"colours", 32, 3},     {"height beyond the bytes", 8, 3}};
    for (const auto &row : bad) {
        SCOPED_TRACE(row.what);
        auto copy = dib;
        std::swap(copy, dib);
        put(row.at, row.value);
        std::swap(copy, dib);
        EXPECT_THROW(designer::DecodeBitmap(copy), host::Exception);
    }
    EXPECT_THROW(designer::DecodeBitmap(std::vector<std::uint8_t>(dib.begin(), dib.end() - 1)), host::Exception);
}
