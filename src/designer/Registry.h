// The designer's registry: what packages register (palette pages, component
// editors, property editors), read back by the designer host.
//
// Lookup rules:
// - Palette: pages in the order their names were first registered, each
//   with its classes in the order registered; a class registered twice on
//   one page is listed once.
// - Component editor of a component class: the registration for the class
//   itself, else for its parent, and so on up its parents; at one class the
//   later registration wins. TDefaultEditor when there is none.
// - Property editor of a property (kind, name) on a component class: among
//   the registrations for that kind whose property name is the property's
//   (or empty: every property of the kind) and whose component class is the
//   class or one of its parents (or null: every class), the one for the
//   nearest class wins, null counting as farther than every parent; at one
//   class a named registration beats an unnamed one, and the later
//   registration wins among equals. The kind's default editor
//   (DefaultPropertyEditor) when there is none.
//
// Registrations belong to the module that was registering when they were
// made (TModuleRegistration), so a host can drop a package's registrations
// before it unloads the package's code.
#pragma once

#include "designer/ComponentEditor.h"
#include "designer/PropertyEditor.h"

#include <memory>
#include <string_view>
#include <vector>

namespace designer {

// Binds `editor` to components of `componentClass` and its descendants.
void RegisterComponentEditor(const host::TComponentClass &componentClass, const TComponentEditorClass &editor);

// Binds `editor` to the properties of kind `propertyType` named
// `propertyName` (empty: every one of the kind) on `componentClass` and its
// descendants (null: on every class). Raises host::Exception when the class
// is given with a property name its table lacks or holds with another kind.
void RegisterPropertyEditor(host::TPropertyKind propertyType, const host::TComponentClass *componentClass,
                            std::string_view propertyName, const TPropertyEditorClass &editor);

// ---- Reading it back --------------------------------------------------------

// One registration, as it was made. Palette entries come from
// host::RegisterComponents.
struct TRegistration {
    enum class TKind : std::uint8_t { Components, ComponentEditor, PropertyEditor };
    TKind Kind = TKind::Components;
    String Page;                                           // Components
    std::vector<const host::TComponentClass *> Classes;    // Components
    const host::TComponentClass *ComponentClass = nullptr; // the editors (null: every class)
    host::TPropertyKind PropertyType{};                    // PropertyEditor
    std::string PropertyName;                              // PropertyEditor
    const TComponentEditorClass *ComponentEditor = nullptr;
    const TPropertyEditorClass *PropertyEditor = nullptr;
};

// Every registration held, in the order made.
std::vector<TRegistration> Registrations();

struct TPalettePage {
    String Name;
    std::vector<const host::TComponentClass *> Classes;
};
std::vector<TPalettePage> PalettePages();

const TComponentEditorClass &FindComponentEditor(const host::TComponentClass &componentClass);
const TPropertyEditorClass &FindPropertyEditor(const host::TComponentClass &componentClass,
                                               const host::TPropertyInfo &property);

// The editor bound to `component`.
std::unique_ptr<TComponentEditor> CreateComponentEditor(host::TComponent &component, IFormDesigner &designer);
// The editor of property `name` over `selection`: the one bound to it on the
// first selected component's class. Raises host::Exception for an empty
// selection or a component without the property.
std::unique_ptr<TPropertyEditor> CreatePropertyEditor(IFormDesigner &designer,
                                                      std::vector<host::TComponent *> selection,
                                                      std::string_view name);

// ---- Modules -----------------------------------------------------------------

// While alive, registrations belong to `module` (any value that names the
// module to its host; null is the host's own). Scopes do not nest: one
// opened while another is alive raises host::Exception.
class TModuleRegistration {
public:
    explicit TModuleRegistration(const void *module);
    ~TModuleRegistration();
    TModuleRegistration(const TModuleRegistration &) = delete;
    TModuleRegistration &operator=(const TModuleRegistration &) = delete;
};

// Drops every registration that belongs to `module`.
void UnregisterModule(const void *module);

} // namespace designer
