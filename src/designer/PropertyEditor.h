// Property editors: how a designer shows and changes one published property
// of the components selected on a form.
//
// A designer creates an editor for a property common to its selection (see
// designer/Registry.h for which editor class a property gets), asks it for
// its attributes to decide how to present it (a drop-down list, an ellipsis
// button, whether several components may share one value), reads and writes
// the value as text, and is told through IFormDesigner::Modified when the
// editor changed the form. Every value travels through the classes'
// published-property tables (host/Properties.h).
#pragma once

#include "host/Component.h"
#include "host/Properties.h"
#include "host/Set.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace designer {

using host::String;

// How a property is presented. Bit i of the set stands for the member of
// value i; the positions are fixed, because packages compiled on their own
// hand the set over as its two bytes.
enum class TPropertyAttribute : std::uint8_t {
    paValueList = 0,   // a drop-down list of values (GetValues)
    paDialog = 2,      // an ellipsis button that runs Edit
    paMultiSelect = 3, // offered when several components are selected; a value typed goes to all
    paAutoUpdate = 4,  // every change typed is written to the components at once
    paSortList = 5,    // the value list is shown sorted (else in the order GetValues gives)
    paRevertable = 7,  // the property can be reverted to its stored value
};
using TPropertyAttributes = host::Set<TPropertyAttribute, std::uint16_t>;

// "[paDialog, paMultiSelect]": the members in the order of their positions.
std::string AttributesText(TPropertyAttributes attributes);

// The designer side an editor talks to.
class IFormDesigner {
public:
    virtual ~IFormDesigner() = default;
    // The form under edit changed (it needs saving).
    virtual void Modified() = 0;
    // The form's root component: references are looked up from here.
    virtual host::TComponent &Root() = 0;
};

// GetValues passes each value of the list to this callback, in order.
using TGetStrProc = std::function<void(const String &value)>;

class TPropertyEditor;

// An editor class as a registry holds it: its name and a factory.
struct TPropertyEditorClass {
    std::string_view Name;
    std::unique_ptr<TPropertyEditor> (*Create)(IFormDesigner &designer, std::vector<host::TComponent *> selection,
                                               std::string_view propertyName);
};

// The editor class record of E, for E::StaticClass().
template <class E>
constexpr TPropertyEditorClass PropertyEditorClass(std::string_view name)
{
    return {name, [](IFormDesigner &designer, std::vector<host::TComponent *> selection,
                     std::string_view propertyName) -> std::unique_ptr<TPropertyEditor> {
                return std::make_unique<E>(designer, std::move(selection), propertyName);
            }};
}

// The editor of one property over a selection of one or more components.
// Each selected component must have a published property of that name
// (and the same kind); each is read and written through its own class's
// table. Raises host::Exception otherwise, or for an empty selection.
class TPropertyEditor {
public:
    TPropertyEditor(IFormDesigner &designer, std::vector<host::TComponent *> selection, std::string_view propertyName);
    virtual ~TPropertyEditor();
    TPropertyEditor(const TPropertyEditor &) = delete;
    TPropertyEditor &operator=(const TPropertyEditor &) = delete;

    static const TPropertyEditorClass &StaticClass();
    virtual const TPropertyEditorClass &ClassType() const { return StaticClass(); }

    // The selected components: index 0 is the first selected.
    host::TComponent *GetComponent(std::size_t index) const { return selection_.at(index); }
    std::size_t PropCount() const { return selection_.size(); }
    std::string_view GetName() const { return name_; }
    const host::TPropertyInfo &PropInfo(std::size_t index = 0) const { return *infos_.at(index); }
    IFormDesigner &Designer() const { return designer_; }
    // Tells the designer that the form changed.
    void Modified();

    // The designer's default action for the property (a double-click, or the
    // ellipsis button): with paValueList the value after the current one in
    // the list (the first after the last); otherwise nothing.
    virtual void Edit();
    // paRevertable.
    virtual TPropertyAttributes GetAttributes();
    // The most characters the in-place edit box takes (255); below 1 no limit.
    virtual int GetEditLimit();
    // The value list of paValueList; none here.
    virtual void GetValues(const TGetStrProc &proc);
    // The value of the first selected component as text.
    virtual String GetValue();
    // Writes the value given as text to every selected component, then
    // tells the designer. Raises host::Exception for text that is no value
    // of the property; a setter's exception passes unchanged.
    virtual void SetValue(const String &value);
    // Whether every selected component has the same value.
    virtual bool AllEqual();

protected:
    host::TPropertyValue GetPropValue(std::size_t index = 0) const;
    // Writes `value` to every selected component, first to last, then calls
    // Modified. When a setter raises, the components before it keep the new
    // value (and the designer is told of them) and the exception passes.
    void SetPropValue(const host::TPropertyValue &value);

private:
    IFormDesigner &designer_;
    std::vector<host::TComponent *> selection_;
    std::vector<const host::TPropertyInfo *> infos_;
    std::string name_;
};

// ---- The default editors, one per kind of property ------------------------

// Text, as it is.
class TStringProperty : public TPropertyEditor {
public:
    using TPropertyEditor::TPropertyEditor;
    static const TPropertyEditorClass &StaticClass();
    const TPropertyEditorClass &ClassType() const override { return StaticClass(); }
    // paMultiSelect and paRevertable.
    TPropertyAttributes GetAttributes() override;
    String GetValue() override;
    void SetValue(const String &value) override;
};

// A whole number in decimal.
class TIntegerProperty : public TPropertyEditor {
public:
    using TPropertyEditor::TPropertyEditor;
    static const TPropertyEditorClass &StaticClass();
    const TPropertyEditorClass &ClassType() const override { return StaticClass(); }
    TPropertyAttributes GetAttributes() override;
    String GetValue() override;
    void SetValue(const String &value) override;
};

// "False" or "True", from a value list.
class TBooleanProperty : public TPropertyEditor {
public:
    using TPropertyEditor::TPropertyEditor;
    static const TPropertyEditorClass &StaticClass();
    const TPropertyEditorClass &ClassType() const override { return StaticClass(); }
    TPropertyAttributes GetAttributes() override;
    void GetValues(const TGetStrProc &proc) override;
    String GetValue() override;
    void SetValue(const String &value) override;
};

// A set as "[member, member]" with the member names of the table.
class TSetProperty : public TPropertyEditor {
public:
    using TPropertyEditor::TPropertyEditor;
    static const TPropertyEditorClass &StaticClass();
    const TPropertyEditorClass &ClassType() const override { return StaticClass(); }
    TPropertyAttributes GetAttributes() override;
    String GetValue() override;
    void SetValue(const String &value) override;
};

// Lines: the value is the text with a line break after every line; set,
// it is split at CR LF, CR and LF.
class TStringsProperty : public TPropertyEditor {
public:
    using TPropertyEditor::TPropertyEditor;
    static const TPropertyEditorClass &StaticClass();
    const TPropertyEditorClass &ClassType() const override { return StaticClass(); }
    TPropertyAttributes GetAttributes() override;
    String GetValue() override;
    void SetValue(const String &value) override;
};

// A reference: the name of a component of the form, as a stored reference
// names it from the first selected component; the list offers every named
// component of the referred class; the empty text clears the reference.
class TComponentProperty : public TPropertyEditor {
public:
    using TPropertyEditor::TPropertyEditor;
    static const TPropertyEditorClass &StaticClass();
    const TPropertyEditorClass &ClassType() const override { return StaticClass(); }
    TPropertyAttributes GetAttributes() override;
    void GetValues(const TGetStrProc &proc) override;
    String GetValue() override;
    void SetValue(const String &value) override;
};

// The default editor class of a kind of property.
const TPropertyEditorClass &DefaultPropertyEditor(host::TPropertyKind kind);

} // namespace designer
