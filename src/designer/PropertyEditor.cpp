// The property editor base: the selection, the tables, the designer.
#include "designer/PropertyEditor.h"

#include "host/Exception.h"

namespace designer {

std::string AttributesText(TPropertyAttributes attributes)
{
    using A = TPropertyAttribute;
    constexpr std::pair<A, std::string_view> kNames[] = {
        {A::paValueList, "paValueList"},   {A::paDialog, "paDialog"},     {A::paMultiSelect, "paMultiSelect"},
        {A::paAutoUpdate, "paAutoUpdate"}, {A::paSortList, "paSortList"}, {A::paRevertable, "paRevertable"},
    };
    std::string text = "[";
    for (const auto &[member, name] : kNames)
        if (attributes.Contains(member)) {
            if (text.size() > 1)
                text += ", ";
            text += name;
        }
    return text + "]";
}

TPropertyEditor::TPropertyEditor(IFormDesigner &designer, std::vector<host::TComponent *> selection,
                                 std::string_view propertyName)
    : designer_(designer), selection_(std::move(selection)), name_(propertyName)
{
    if (selection_.empty())
        throw host::Exception(u"No component is selected to edit " + host::FromUtf8(propertyName));
    for (host::TComponent *component : selection_) {
        if (component == nullptr)
            throw host::Exception(u"A null component cannot be edited");
        const host::TComponentClass &cls = component->ClassType();
        const host::TPropertyInfo *info = cls.FindProperty(propertyName);
        if (info == nullptr)
            throw host::Exception(host::FromUtf8(cls.Name) + u" has no property " + host::FromUtf8(propertyName));
        if (!infos_.empty() && info->Kind != infos_.front()->Kind)
            throw host::Exception(u"Property " + host::FromUtf8(propertyName) +
                                  u" is of different kinds in the selected components");
        infos_.push_back(info);
    }
}

TPropertyEditor::~TPropertyEditor() = default;

const TPropertyEditorClass &TPropertyEditor::StaticClass()
{
    static const TPropertyEditorClass cls = PropertyEditorClass<TPropertyEditor>("TPropertyEditor");
    return cls;
}

void TPropertyEditor::Modified()
{
    designer_.Modified();
}

void TPropertyEditor::Edit()
{
    if (!GetAttributes().Contains(TPropertyAttribute::paValueList))
        return;
    std::vector<String> values;
    GetValues([&values](const String &value) { values.push_back(value); });
    if (values.empty())
        return;
    const String current = GetValue();
    std::size_t next = 0;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (values[i] == current) {
            next = (i + 1) % values.size();
            break;
        }
    SetValue(values[next]);
}

TPropertyAttributes TPropertyEditor::GetAttributes()
{
    return {TPropertyAttribute::paRevertable};
}

int TPropertyEditor::GetEditLimit()
{
    return 255;
}

void TPropertyEditor::GetValues(const TGetStrProc &) {}

String TPropertyEditor::GetValue()
{
    return {};
}

void TPropertyEditor::SetValue(const String &)
{
    throw host::Exception(u"Property " + host::FromUtf8(name_) + u" cannot be set as text");
}

bool TPropertyEditor::AllEqual()
{
    const host::TPropertyValue first = GetPropValue(0);
    for (std::size_t i = 1; i < selection_.size(); ++i)
        if (GetPropValue(i) != first)
            return false;
    return true;
}

host::TPropertyValue TPropertyEditor::GetPropValue(std::size_t index) const
{
    return infos_.at(index)->Get(*selection_.at(index));
}

void TPropertyEditor::SetPropValue(const host::TPropertyValue &value)
{
    std::size_t written = 0;
    try {
        for (; written < selection_.size(); ++written)
            infos_[written]->Put(*selection_[written], value);
    } catch (...) {
        if (written > 0)
            Modified();
        throw;
    }
    Modified();
}

} // namespace designer
