// The registry: registrations in the order made, tagged with their module.
#include "designer/Registry.h"

#include "host/Exception.h"
#include "host/Palette.h"

#include <algorithm>
#include <limits>

namespace designer {

namespace {

struct TEntry {
    TRegistration Registration;
    const void *Module;
};

struct TState {
    std::vector<TEntry> entries;
    bool registering = false;
    const void *module = nullptr;
};

TState &State()
{
    static TState state;
    return state;
}

void Add(TRegistration registration)
{
    TState &state = State();
    state.entries.push_back({std::move(registration), state.module});
}

void OnRegisterComponents(std::u16string_view page, std::span<const host::TComponentClass *const> classes)
{
    TRegistration r;
    r.Kind = TRegistration::TKind::Components;
    r.Page = String(page);
    r.Classes.assign(classes.begin(), classes.end());
    Add(std::move(r));
}

// The designer receives the framework's RegisterComponents from the moment
// this library is loaded.
const bool listening = (host::SetRegisterComponentsHandler(&OnRegisterComponents), true);

// How far up `cls`'s parents `target` is: 0 for the class itself; max
// when it is not among them.
std::size_t Distance(const host::TComponentClass &cls, const host::TComponentClass &target)
{
    std::size_t distance = 0;
    for (const host::TComponentClass *c = &cls; c != nullptr; c = c->Parent, ++distance)
        if (c == &target)
            return distance;
    return std::numeric_limits<std::size_t>::max();
}

constexpr std::string_view KindName(host::TPropertyKind kind)
{
    switch (kind) {
    case host::TPropertyKind::pkText: return "text";
    case host::TPropertyKind::pkBoolean: return "Boolean";
    case host::TPropertyKind::pkInteger: return "integer";
    case host::TPropertyKind::pkSet: return "set";
    case host::TPropertyKind::pkStrings: return "lines";
    case host::TPropertyKind::pkComponent: return "reference";
    }
    return "unknown";
}

} // namespace

void RegisterComponentEditor(const host::TComponentClass &componentClass, const TComponentEditorClass &editor)
{
    (void)listening;
    TRegistration r;
    r.Kind = TRegistration::TKind::ComponentEditor;
    r.ComponentClass = &componentClass;
    r.ComponentEditor = &editor;
    Add(std::move(r));
}

void RegisterPropertyEditor(host::TPropertyKind propertyType, const host::TComponentClass *componentClass,
                            std::string_view propertyName, const TPropertyEditorClass &editor)
{
    if (componentClass != nullptr && !propertyName.empty()) {
        const host::TPropertyInfo *info = componentClass->FindProperty(propertyName);
        if (info == nullptr || info->Kind != propertyType)
            throw host::Exception(host::FromUtf8(componentClass->Name) + u" has no " +
                                  host::FromUtf8(KindName(propertyType)) + u" property " +
                                  host::FromUtf8(propertyName) + u" to bind " + host::FromUtf8(editor.Name) +
                                  u" to");
    }
    TRegistration r;
    r.Kind = TRegistration::TKind::PropertyEditor;
    r.ComponentClass = componentClass;
    r.PropertyType = propertyType;
    r.PropertyName = std::string(propertyName);
    r.PropertyEditor = &editor;
    Add(std::move(r));
}

std::vector<TRegistration> Registrations()
{
    std::vector<TRegistration> all;
    for (const TEntry &e : State().entries)
        all.push_back(e.Registration);
    return all;
}

std::vector<TPalettePage> PalettePages()
{
    std::vector<TPalettePage> pages;
    for (const TEntry &e : State().entries) {
        if (e.Registration.Kind != TRegistration::TKind::Components)
            continue;
        auto page = std::find_if(pages.begin(), pages.end(),
                                 [&](const TPalettePage &p) { return p.Name == e.Registration.Page; });
        if (page == pages.end())
            page = pages.insert(pages.end(), TPalettePage{e.Registration.Page, {}});
        for (const host::TComponentClass *cls : e.Registration.Classes)
            if (std::find(page->Classes.begin(), page->Classes.end(), cls) == page->Classes.end())
                page->Classes.push_back(cls);
    }
    return pages;
}

const TComponentEditorClass &FindComponentEditor(const host::TComponentClass &componentClass)
{
    const TComponentEditorClass *best = nullptr;
    std::size_t bestDistance = std::numeric_limits<std::size_t>::max();
    for (const TEntry &e : State().entries) {
        const TRegistration &r = e.Registration;
        if (r.Kind != TRegistration::TKind::ComponentEditor)
            continue;
        const std::size_t distance = Distance(componentClass, *r.ComponentClass);
        if (distance != std::numeric_limits<std::size_t>::max() && distance <= bestDistance) {
            best = r.ComponentEditor;
            bestDistance = distance;
        }
    }
    return best != nullptr ? *best : TDefaultEditor::StaticClass();
}

const TPropertyEditorClass &FindPropertyEditor(const host::TComponentClass &componentClass,
                                               const host::TPropertyInfo &property)
{
    // Ranked by (class distance, unnamed after named); ties go to the later.
    constexpr std::size_t kEveryClass = std::numeric_limits<std::size_t>::max() - 1;
    const TPropertyEditorClass *best = nullptr;
    std::pair<std::size_t, bool> bestRank{std::numeric_limits<std::size_t>::max(), true};
    for (const TEntry &e : State().entries) {
        const TRegistration &r = e.Registration;
        if (r.Kind != TRegistration::TKind::PropertyEditor || r.PropertyType != property.Kind)
            continue;
        if (!r.PropertyName.empty() && r.PropertyName != property.Name)
            continue;
        const std::size_t distance =
            r.ComponentClass == nullptr ? kEveryClass : Distance(componentClass, *r.ComponentClass);
        if (distance == std::numeric_limits<std::size_t>::max())
            continue;
        const std::pair<std::size_t, bool> rank{distance, r.PropertyName.empty()};
        if (rank <= bestRank) {
            best = r.PropertyEditor;
            bestRank = rank;
        }
    }
    return best != nullptr ? *best : DefaultPropertyEditor(property.Kind);
}

std::unique_ptr<TComponentEditor> CreateComponentEditor(host::TComponent &component, IFormDesigner &designer)
{
    return FindComponentEditor(component.ClassType()).Create(component, designer);
}

std::unique_ptr<TPropertyEditor> CreatePropertyEditor(IFormDesigner &designer,
                                                      std::vector<host::TComponent *> selection,
                                                      std::string_view name)
{
    if (selection.empty() || selection.front() == nullptr)
        throw host::Exception(u"No component is selected to edit " + host::FromUtf8(name));
    const host::TComponentClass &cls = selection.front()->ClassType();
    const host::TPropertyInfo *info = cls.FindProperty(name);
    if (info == nullptr)
        throw host::Exception(host::FromUtf8(cls.Name) + u" has no property " + host::FromUtf8(name));
    return FindPropertyEditor(cls, *info).Create(designer, std::move(selection), name);
}

TModuleRegistration::TModuleRegistration(const void *module)
{
    TState &state = State();
    if (state.registering)
        throw host::Exception(u"A module is registering already");
    state.registering = true;
    state.module = module;
}

TModuleRegistration::~TModuleRegistration()
{
    TState &state = State();
    state.registering = false;
    state.module = nullptr;
}

void UnregisterModule(const void *module)
{
    std::erase_if(State().entries, [module](const TEntry &e) { return e.Module == module; });
}

const TComponentEditorClass &TDefaultEditor::StaticClass()
{
    static const TComponentEditorClass cls = ComponentEditorClass<TDefaultEditor>("TDefaultEditor");
    return cls;
}

} // namespace designer
