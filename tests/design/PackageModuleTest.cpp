// The package module as a designer loads it: entry points, registration,
// resources, unloading (natively and, in the Windows build, under Wine).
#include "designer/PackageInfo.h"
#include "designer/PackageModule.h"
#include "designer/Registry.h"
#include "host/Exception.h"

#include <gtest/gtest.h>

using designer::TResourceKind;

namespace {

#if defined(_WIN32)
const host::String kModule = u"KelvraP.dll";
#else
const host::String kModule = u"KelvraP.so";
#endif

std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | b[at + 3] << 24);
}

} // namespace

TEST(PackageModule, LoadsRegistersAndUnloadsTwice)
{
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        {
            designer::TPackageModule module(kModule);
            const TPackageInfoTable &table = module.InfoTable();
            std::vector<std::string> units;
            for (std::uint32_t i = 0; i < table.UnitCount; ++i)
                units.emplace_back(table.Units[i].Name);
            EXPECT_EQ(units, (std::vector<std::string>{"KelvraP", "KelvraE", "Kelvra", "SysInit"}));

            // The package record names the same units, in the same order.
            const auto record = module.FindResource(TResourceKind::rkRawData, u"PACKAGEINFO");
            ASSERT_TRUE(record);
            const designer::TPackageInfo info = designer::ReadPackageInfo(*record);
            EXPECT_EQ(info.Options, designer::TPackageOptions{designer::TPackageOption::poDesignOnly});
            EXPECT_EQ(info.Requires, (std::vector<std::string>{"designide260.bpl", "vcl260.bpl"}));
            ASSERT_EQ(info.Units.size(), units.size());
            for (std::size_t i = 0; i < units.size(); ++i)
                EXPECT_EQ(info.Units[i].Name, units[i]);
            EXPECT_EQ(info.Units.front().Kind, designer::TUnitKind::ukPackage);
            EXPECT_EQ(info.Units.back().Kind, designer::TUnitKind::ukStartup);

            module.Register();
            module.Register(); // again: replaces, never doubles
            EXPECT_EQ(designer::Registrations().size(), 9u);
            ASSERT_EQ(designer::PalettePages().size(), 1u);
            EXPECT_EQ(designer::PalettePages()[0].Name, u"Tarnel");
        }
        EXPECT_TRUE(designer::Registrations().empty()) << "unloading drops the module's registrations";
    }
}

TEST(PackageModule, ResourcesReadBackAsWritten)
{
    designer::TPackageModule module(kModule);
    for (const char16_t *name : {u"TKELVRASESSION", u"TKELVRASENDMAIL", u"TKELVRAREADMAIL", u"TKELVRACONTACT"}) {
        SCOPED_TRACE(host::ToUtf8(name));
        const auto dib = module.FindResource(TResourceKind::rkBitmap, name);
        ASSERT_TRUE(dib);
        ASSERT_EQ(dib->size(), 392u);
        EXPECT_EQ(U32(*dib, 0), 40u);  // header size
        EXPECT_EQ(U32(*dib, 4), 24u);  // width
        EXPECT_EQ(U32(*dib, 8), 24u);  // height, positive: bottom row first
        EXPECT_EQ((*dib)[14], 4);      // bits per pixel
        EXPECT_EQ(U32(*dib, 16), 0u);  // uncompressed
        // Colour 7 of the standard palette is silver, and the bottom-left
        // pixel (the first stored) is silver.
        EXPECT_EQ(U32(*dib, 40 + 4 * 7), 0x00C0C0C0u);
        EXPECT_EQ(U32(*dib, 40 + 4 * 4), 0x00000080u); // navy: blue, green, red, 0
        EXPECT_EQ((*dib)[104] >> 4, 7);
    }
    EXPECT_FALSE(module.FindResource(TResourceKind::rkBitmap, u"TKELVRASESSION", 1031)) << "German: none";
    EXPECT_FALSE(module.FindResource(TResourceKind::rkRawData, u"TKELVRASESSION"));
    EXPECT_FALSE(module.FindResource(TResourceKind::rkBitmap, u"TNOTHING"));

    const auto description = module.FindResource(TResourceKind::rkRawData, u"DESCRIPTION");
    ASSERT_TRUE(description);
    host::String text;
    for (std::size_t i = 0; i + 1 < description->size(); i += 2)
        text += static_cast<char16_t>((*description)[i] | (*description)[i + 1] << 8);
    EXPECT_EQ(text, host::String(u"Kelvra Simple MAPI Components") + u'\0');
}

TEST(PackageModule, AMissingModuleIsAClearError)
{
    try {
        designer::TPackageModule module(u"NoSuchPackage.module");
        FAIL() << "loaded";
    } catch (const host::Exception &e) {
        EXPECT_NE(e.Message().find(u"Cannot load package NoSuchPackage.module"), host::String::npos);
    }
}
