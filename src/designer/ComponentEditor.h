// Component editors: the verbs a designer shows in a component's context
// menu, and its default action (a double-click).
#pragma once

#include "designer/PropertyEditor.h"

#include <memory>
#include <string_view>

namespace designer {

class TComponentEditor;

// An editor class as a registry holds it: its name and a factory.
struct TComponentEditorClass {
    std::string_view Name;
    std::unique_ptr<TComponentEditor> (*Create)(host::TComponent &component, IFormDesigner &designer);
};

template <class E>
constexpr TComponentEditorClass ComponentEditorClass(std::string_view name)
{
    return {name, [](host::TComponent &component, IFormDesigner &designer) -> std::unique_ptr<TComponentEditor> {
                return std::make_unique<E>(component, designer);
            }};
}

// The editor of one component. Verbs are numbered from 0.
class TComponentEditor {
public:
    TComponentEditor(host::TComponent &component, IFormDesigner &designer)
        : component_(component), designer_(designer) {}
    virtual ~TComponentEditor() = default;
    TComponentEditor(const TComponentEditor &) = delete;
    TComponentEditor &operator=(const TComponentEditor &) = delete;

    virtual const TComponentEditorClass &ClassType() const = 0;

    // The component the editor was created for.
    host::TComponent &Component() const { return component_; }
    IFormDesigner &Designer() const { return designer_; }

    // The default action. Nothing here.
    virtual void Edit() {}
    // Runs verb `index`; an index without a verb does nothing.
    virtual void ExecuteVerb(int /*index*/) {}
    // The text of verb `index` ("&" marks the menu's accelerator); empty for
    // an index without a verb.
    virtual String GetVerb(int /*index*/) { return {}; }
    virtual int GetVerbCount() { return 0; }

private:
    host::TComponent &component_;
    IFormDesigner &designer_;
};

// The editor of every component whose class has none bound: no verbs, and
// a default action that does nothing.
class TDefaultEditor : public TComponentEditor {
public:
    using TComponentEditor::TComponentEditor;
    static const TComponentEditorClass &StaticClass();
    const TComponentEditorClass &ClassType() const override { return StaticClass(); }
};

} // namespace designer
