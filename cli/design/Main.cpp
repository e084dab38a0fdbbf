// kelvra-design: a designer host on the command line. It loads a package
// module by path, as a visual designer installs one, and works on form files
// with the editors the package registered.
#include "Form.h"
#include "Output.h"
#include "Words.h"

#include "designer/Bitmap.h"
#include "designer/PackageInfo.h"
#include "designer/PackageModule.h"
#include "designer/Registry.h"
#include "host/Exception.h"
#include "host/Properties.h"
#include "kelvra/Errors.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <iomanip>
#include <iostream>
#include <optional>

namespace {

namespace fs = std::filesystem;
using designer::TPropertyAttribute;

#if defined(_WIN32)
constexpr const char *kDefaultPackage = "KelvraP.dll";
#else
constexpr const char *kDefaultPackage = "KelvraP.so";
#endif

std::string Hex4(std::uint16_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

using kelvra_cli_common::Lower;

// ---- The commands ---------------------------------------------------------

void Palette(const designer::TPackageModule &package)
{
    for (const designer::TPalettePage &page : designer::PalettePages()) {
        std::cout << host::ToUtf8(page.Name) << "\n";
        for (const host::TComponentClass *cls : page.Classes) {
            std::string upper(cls->Name);
            std::transform(upper.begin(), upper.end(), upper.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            const bool bitmap =
                package.FindResource(designer::TResourceKind::rkBitmap, host::FromUtf8(upper)).has_value();
            std::cout << "  " << cls->Name << (bitmap ? "" : " (no bitmap)") << "\n";
        }
    }
}

void Package(const designer::TPackageModule &package)
{
    if (const auto description = package.FindResource(designer::TResourceKind::rkRawData, u"DESCRIPTION")) {
        host::String text;
        for (std::size_t i = 0; i + 1 < description->size(); i += 2) {
            const auto c = static_cast<char16_t>((*description)[i] | ((*description)[i + 1] << 8));
            if (c == 0)
                break;
            text += c;
        }
        std::cout << "Description: " << host::ToUtf8(text) << "\n";
    }
    if (const auto record = package.FindResource(designer::TResourceKind::rkRawData, u"PACKAGEINFO")) {
        const designer::TPackageInfo info = designer::ReadPackageInfo(*record);
        std::cout << "Use: "
                  << (info.Options.Contains(designer::TPackageOption::poDesignOnly) ? "design time only"
                      : info.Options.Contains(designer::TPackageOption::poRunOnly) ? "run time only"
                                                                                    : "design and run time")
                  << "\n";
        for (const std::string &name : info.Requires)
            std::cout << "Requires: " << name << "\n";
        for (const designer::TPackageUnitInfo &unit : info.Units)
            std::cout << "Unit: " << unit.Name
                      << (unit.Kind == designer::TUnitKind::ukPackage   ? " (package unit)"
                          : unit.Kind == designer::TUnitKind::ukStartup ? " (start-up unit)"
                                                                        : "")
                      << "\n";
    }
}

// Every pixel as a `scale` x `scale` square.
designer::TBitmapImage Scaled(const designer::TBitmapImage &image, int scale)
{
    designer::TBitmapImage big{image.Width * scale, image.Height * scale, {}};
    for (int y = 0; y < big.Height; ++y)
        for (int x = 0; x < big.Width; ++x)
            big.Pixels.push_back(image.Pixels[static_cast<std::size_t>(y / scale * image.Width + x / scale)]);
    return big;
}

void Bitmap(const designer::TPackageModule &package, const std::string &className, const fs::path &out,
            std::string format, int scale)
{
    std::string upper = className;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    const auto dib = package.FindResource(designer::TResourceKind::rkBitmap, host::FromUtf8(upper));
    if (!dib)
        throw host::Exception(u"The package has no palette bitmap " + host::FromUtf8(upper));
    if (format.empty())
        format = Lower(out.extension().string()) == ".png" ? "png" : "bmp";
    if (format == "png")
        design::WritePng(out, Scaled(designer::DecodeBitmap(*dib), scale));
    else if (scale != 1)
        throw host::Exception(u"Only a PNG file can be scaled");
    else
        design::WriteFile(out, designer::BitmapFile(*dib));
}

void Show(design::TOpenForm &form, const std::string &name)
{
    host::TComponent &component = *form.Select(name).front();
    const host::TComponentClass &cls = component.ClassType();
    auto componentEditor = designer::CreateComponentEditor(component, form);
    std::cout << host::ToUtf8(component.Name()) << ": " << cls.Name << "\n";
    std::cout << "  component editor " << componentEditor->ClassType().Name;
    for (int i = 0; i < componentEditor->GetVerbCount(); ++i)
        std::cout << (i == 0 ? ", verbs: " : ", ") << i << " " << host::ToUtf8(componentEditor->GetVerb(i));
    std::cout << "\n";
    std::size_t width = 0;
    for (const host::TPropertyInfo &p : cls.Properties)
        width = std::max(width, p.Name.size());
    for (const host::TPropertyInfo &p : cls.Properties) {
        auto editor = designer::CreatePropertyEditor(form, {&component}, p.Name);
        const designer::TPropertyAttributes attributes = editor->GetAttributes();
        std::cout << "  " << std::left << std::setw(static_cast<int>(width)) << std::string(p.Name) << " = "
                  << design::Shown(editor->GetValue()) << "\n      " << editor->ClassType().Name << " "
                  << Hex4(attributes.Bits()) << " " << designer::AttributesText(attributes) << "\n";
    }
}

void Set(design::TOpenForm &form, const std::string &names, const std::string &property, const std::string &text)
{
    std::vector<host::TComponent *> selection = form.Select(names);
    const std::size_t count = selection.size();
    auto editor = designer::CreatePropertyEditor(form, std::move(selection), property);
    const designer::TPropertyAttributes attributes = editor->GetAttributes();
    if (count > 1 && !attributes.Contains(TPropertyAttribute::paMultiSelect))
        throw host::Exception(host::FromUtf8(property) + u" cannot be set on several components at once");
    const host::String value = design::Argument(text);
    const int limit = editor->GetEditLimit();
    if (limit > 0 && value.size() > static_cast<std::size_t>(limit))
        throw host::Exception(host::FromUtf8(property) + u" takes at most " +
                              host::FromAscii(std::to_string(limit)) + u" characters");
    // An edit is written when it changed the text; an auto-updating
    // property takes every value as it is typed, also the same one again.
    if (!attributes.Contains(TPropertyAttribute::paAutoUpdate) && editor->AllEqual() && editor->GetValue() == value)
        return;
    editor->SetValue(value);
}

void Edit(design::TOpenForm &form, const std::string &names, const std::string &property)
{
    designer::CreatePropertyEditor(form, form.Select(names), property)->Edit();
}

void Values(design::TOpenForm &form, const std::string &name, const std::string &property)
{
    auto editor = designer::CreatePropertyEditor(form, form.Select(name), property);
    if (!editor->GetAttributes().Contains(TPropertyAttribute::paValueList))
        throw host::Exception(host::FromUtf8(property) + u" has no value list");
    editor->GetValues([](const host::String &value) { std::cout << host::ToUtf8(value) << std::endl; });
}

void Verbs(design::TOpenForm &form, const std::string &name)
{
    auto editor = designer::CreateComponentEditor(*form.Select(name).front(), form);
    for (int i = 0; i < editor->GetVerbCount(); ++i)
        std::cout << i << " " << host::ToUtf8(editor->GetVerb(i)) << "\n";
}

void Verb(design::TOpenForm &form, const std::string &name, std::optional<int> index)
{
    auto editor = designer::CreateComponentEditor(*form.Select(name).front(), form);
    if (!index) {
        editor->Edit();
        return;
    }
    if (*index < 0 || *index >= editor->GetVerbCount())
        throw host::Exception(host::FromUtf8(std::string(editor->ClassType().Name)) + u" has no verb " +
                              host::FromAscii(std::to_string(*index)));
    editor->ExecuteVerb(*index);
}

// How a designer reports a failure: the exception's message.
int Report(const std::exception &e)
{
    std::cerr << "kelvra-design: " << e.what();
    if (const auto *mapi = dynamic_cast<const kelvra::EKelvraError *>(&e))
        std::cerr << " (error code " << mapi->ErrorCode << ")";
    std::cerr << "\n";
    return 1;
}

// What the command line gave.
struct Arguments {
    std::string form, component, property, value, className, format;
    fs::path out;
    std::optional<int> verb;
    int scale = 1;
};

// A subcommand: it works on the loaded package, or on a form file the
// package's editors open (saved only when an editor told of a change).
struct Subcommand {
    CLI::App *app = nullptr;
    std::function<void(const designer::TPackageModule &)> onPackage;
    std::function<void(design::TOpenForm &)> onForm;
};

std::vector<Subcommand> AddSubcommands(CLI::App &app, Arguments &a)
{
    std::vector<Subcommand> commands;
    const auto onPackage = [&](const char *name, const char *what, std::function<void(const designer::TPackageModule &)> run) {
        commands.push_back({app.add_subcommand(name, what), std::move(run), nullptr});
        return commands.back().app;
    };
    // A form command's first arguments: the form file, then one component
    // or (`several`) names joined by commas.
    const auto onForm = [&](const char *name, const char *what, bool several, std::function<void(design::TOpenForm &)> run) {
        CLI::App *sub = app.add_subcommand(name, what);
        sub->add_option("form", a.form, "The form file")->required();
        if (several)
            sub->add_option("components", a.component, "The component's name, or several names joined by commas")->required();
        else
            sub->add_option("component", a.component, "The component's name")->required();
        commands.push_back({sub, nullptr, std::move(run)});
        return sub;
    };

    onPackage("palette", "List the palette: pages, their classes, missing bitmaps", Palette);
    onPackage("package", "Show the package's description and package record", Package);
    CLI::App *bitmap = onPackage("bitmap", "Write a class's palette bitmap as a BMP or PNG file",
                                 [&a](const designer::TPackageModule &m) { Bitmap(m, a.className, a.out, a.format, a.scale); });
    bitmap->add_option("class", a.className, "The component class, e.g. TKelvraSendMail")->required();
    bitmap->add_option("file", a.out, "The file to write (.png writes PNG, else BMP)")->required();
    bitmap->add_option("--format", a.format, "bmp or png, whatever the file name")->check(CLI::IsMember({"bmp", "png"}));
    bitmap->add_option("--scale", a.scale, "Draw every pixel as a square of this side (PNG only)")->check(CLI::Range(1, 32));

    onForm("show", "Show a component's properties: value, editor class, attributes", false,
           [&a](design::TOpenForm &form) { Show(form, a.component); });
    CLI::App *set = onForm("set", "Set a property through its editor, on one or several components", true,
                           [&a](design::TOpenForm &form) { Set(form, a.component, a.property, a.value); });
    set->add_option("property", a.property, "The property's name")->required();
    set->add_option("value", a.value, "The value, as typed into the designer")->required();
    onForm("edit", "Run a property editor's Edit (its dialog, or the next listed value)", true,
           [&a](design::TOpenForm &form) { Edit(form, a.component, a.property); })
        ->add_option("property", a.property, "The property's name")
        ->required();
    onForm("values", "Print a property editor's value list, one value a line", false,
           [&a](design::TOpenForm &form) { Values(form, a.component, a.property); })
        ->add_option("property", a.property, "The property's name")
        ->required();
    onForm("verbs", "List a component editor's verbs", false, [&a](design::TOpenForm &form) { Verbs(form, a.component); });
    onForm("verb", "Run a component editor's verb, or without an index its default action", false,
           [&a](design::TOpenForm &form) { Verb(form, a.component, a.verb); })
        ->add_option("index", a.verb, "The verb's number (see verbs)");
    return commands;
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"kelvra-design: a designer host for the command line. It loads a package module (KelvraP), "
                 "registers it, and works on form files with its editors; a form file is saved only when an "
                 "editor told the designer of a change."};
    app.require_subcommand(1);
    std::string packagePath = kDefaultPackage;
    app.add_option("--package", packagePath, "The package module to load (a bare name is looked for beside "
                                             "this program first)")
        ->capture_default_str();
    Arguments arguments;
    const std::vector<Subcommand> subcommands = AddSubcommands(app, arguments);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        // --help prints and succeeds; a command line that is wrong is a usage
        // error, status 2, as for kelvra.
        const int printed = app.exit(e);
        return e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success) ? printed : 2;
    }

    try {
        designer::TPackageModule module(design::Argument(packagePath));
        module.Register();
        for (const Subcommand &chosen : subcommands) {
            if (!chosen.app->parsed())
                continue;
            if (chosen.onPackage) {
                chosen.onPackage(module);
            } else {
                design::TOpenForm open(arguments.form);
                chosen.onForm(open);
                open.Finish();
            }
        }
    } catch (const std::exception &e) {
        std::cout.flush();
        return Report(e);
    }
    return 0;
}
