// The default editor of each kind of property: value text to and from the
// values of the published-property tables.
#include "designer/PropertyEditor.h"

#include "host/Exception.h"
#include "host/FormFile.h"
#include "host/StringList.h"

#include <charconv>

namespace designer {

namespace {

using A = TPropertyAttribute;

String Quoted(const String &text)
{
    return u"'" + text + u"'";
}

bool IsBlank(char16_t c)
{
    return c == u' ' || c == u'\t';
}

std::u16string_view Trim(std::u16string_view text)
{
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool SameAscii(std::u16string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i];
        char y = b[i];
        if (x >= u'A' && x <= u'Z')
            x = static_cast<char16_t>(x - u'A' + u'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != static_cast<unsigned char>(y))
            return false;
    }
    return true;
}

// Every component of the tree under `root`, root first.
void Walk(host::TComponent &root, const std::function<void(host::TComponent &)> &visit)
{
    visit(root);
    for (std::size_t i = 0; i < root.ComponentCount(); ++i)
        Walk(*root.Components(i), visit);
}

} // namespace

// ---- Text -------------------------------------------------------------------

const TPropertyEditorClass &TStringProperty::StaticClass()
{
    static const TPropertyEditorClass cls = PropertyEditorClass<TStringProperty>("TStringProperty");
    return cls;
}

TPropertyAttributes TStringProperty::GetAttributes()
{
    return {A::paMultiSelect, A::paRevertable};
}

String TStringProperty::GetValue()
{
    return std::get<String>(GetPropValue());
}

void TStringProperty::SetValue(const String &value)
{
    SetPropValue(value);
}

// ---- Integers ---------------------------------------------------------------

const TPropertyEditorClass &TIntegerProperty::StaticClass()
{
    static const TPropertyEditorClass cls = PropertyEditorClass<TIntegerProperty>("TIntegerProperty");
    return cls;
}

TPropertyAttributes TIntegerProperty::GetAttributes()
{
    return {A::paMultiSelect, A::paRevertable};
}

String TIntegerProperty::GetValue()
{
    return host::FromAscii(std::to_string(std::get<std::int64_t>(GetPropValue())));
}

void TIntegerProperty::SetValue(const String &value)
{
    const std::string text = host::ToUtf8(Trim(value));
    std::int64_t number = 0;
    const char *begin = text.data();
    const char *end = text.data() + text.size();
    if (begin != end && *begin == '+')
        ++begin;
    const auto [stop, error] = std::from_chars(begin, end, number);
    if (text.empty() || error != std::errc() || stop != end)
        throw host::Exception(Quoted(value) + u" is not a valid integer value");
    SetPropValue(number);
}

// ---- Booleans ---------------------------------------------------------------

const TPropertyEditorClass &TBooleanProperty::StaticClass()
{
    static const TPropertyEditorClass cls = PropertyEditorClass<TBooleanProperty>("TBooleanProperty");
    return cls;
}

TPropertyAttributes TBooleanProperty::GetAttributes()
{
    return {A::paValueList, A::paMultiSelect, A::paRevertable};
}

void TBooleanProperty::GetValues(const TGetStrProc &proc)
{
    proc(u"False");
    proc(u"True");
}

String TBooleanProperty::GetValue()
{
    return std::get<bool>(GetPropValue()) ? u"True" : u"False";
}

void TBooleanProperty::SetValue(const String &value)
{
    const std::u16string_view text = Trim(value);
    if (SameAscii(text, "True"))
        SetPropValue(true);
    else if (SameAscii(text, "False"))
        SetPropValue(false);
    else
        throw host::Exception(Quoted(value) + u" is not a valid value: False or True");
}

// ---- Sets -------------------------------------------------------------------

const TPropertyEditorClass &TSetProperty::StaticClass()
{
    static const TPropertyEditorClass cls = PropertyEditorClass<TSetProperty>("TSetProperty");
    return cls;
}

TPropertyAttributes TSetProperty::GetAttributes()
{
    return {A::paMultiSelect, A::paRevertable};
}

String TSetProperty::GetValue()
{
    const std::uint8_t bits = std::get<host::TSetValue>(GetPropValue()).Bits;
    String text = u"[";
    const auto &members = PropInfo().SetMembers;
    for (std::size_t i = 0; i < members.size() && i < 8; ++i)
        if ((bits >> i) & 1u) {
            if (text.size() > 1)
                text += u", ";
            text += host::FromUtf8(members[i]);
        }
    return text + u"]";
}

void TSetProperty::SetValue(const String &value)
{
    std::u16string_view text = Trim(value);
    if (text.size() >= 2 && text.front() == u'[' && text.back() == u']')
        text = text.substr(1, text.size() - 2);
    const auto &members = PropInfo().SetMembers;
    std::uint8_t bits = 0;
    while (!Trim(text).empty()) {
        const std::size_t comma = text.find(u',');
        const std::u16string_view item = Trim(text.substr(0, comma));
        text = comma == std::u16string_view::npos ? std::u16string_view() : text.substr(comma + 1);
        std::size_t member = 0;
        while (member < members.size() && member < 8 && !SameAscii(item, members[member]))
            ++member;
        if (member == members.size() || member == 8)
            throw host::Exception(Quoted(String(item)) + u" is not a member of " + host::FromUtf8(GetName()));
        bits = static_cast<std::uint8_t>(bits | (1u << member));
    }
    SetPropValue(host::TSetValue{bits});
}

// ---- Lines ------------------------------------------------------------------

const TPropertyEditorClass &TStringsProperty::StaticClass()
{
    static const TPropertyEditorClass cls = PropertyEditorClass<TStringsProperty>("TStringsProperty");
    return cls;
}

TPropertyAttributes TStringsProperty::GetAttributes()
{
    return {A::paMultiSelect, A::paRevertable};
}

String TStringsProperty::GetValue()
{
    host::TStringList lines;
    lines.Assign(std::get<std::vector<String>>(GetPropValue()));
    return lines.Text();
}

void TStringsProperty::SetValue(const String &value)
{
    host::TStringList lines;
    lines.SetText(value);
    SetPropValue(lines.Lines());
}

// ---- References -------------------------------------------------------------

const TPropertyEditorClass &TComponentProperty::StaticClass()
{
    static const TPropertyEditorClass cls = PropertyEditorClass<TComponentProperty>("TComponentProperty");
    return cls;
}

TPropertyAttributes TComponentProperty::GetAttributes()
{
    return {A::paValueList, A::paSortList, A::paMultiSelect, A::paRevertable};
}

void TComponentProperty::GetValues(const TGetStrProc &proc)
{
    const host::TComponentClass *target = PropInfo().ReferenceClass ? &PropInfo().ReferenceClass() : nullptr;
    host::TComponent &root = Designer().Root();
    const host::TComponent &from = *GetComponent(0);
    std::vector<String> names;
    Walk(root, [&](host::TComponent &c) {
        if (target != nullptr && c.ClassType().InheritsFrom(*target) && !c.Name().empty() &&
            host::FindReference(from, root, c.Name()) == &c)
            names.push_back(c.Name());
    });
    for (const String &name : names)
        proc(name);
}

String TComponentProperty::GetValue()
{
    const host::TComponent *target = std::get<host::TComponent *>(GetPropValue());
    return target != nullptr ? target->Name() : String();
}

void TComponentProperty::SetValue(const String &value)
{
    const std::u16string_view name = Trim(value);
    if (name.empty()) {
        SetPropValue(static_cast<host::TComponent *>(nullptr));
        return;
    }
    host::TComponent *target = host::FindReference(*GetComponent(0), Designer().Root(), name);
    if (target == nullptr)
        throw host::Exception(u"No component named " + Quoted(String(name)) + u" is on the form");
    SetPropValue(target);
}

// ---- By kind ------------------------------------------------------------------

const TPropertyEditorClass &DefaultPropertyEditor(host::TPropertyKind kind)
{
    switch (kind) {
    case host::TPropertyKind::pkText:
        return TStringProperty::StaticClass();
    case host::TPropertyKind::pkBoolean:
        return TBooleanProperty::StaticClass();
    case host::TPropertyKind::pkInteger:
        return TIntegerProperty::StaticClass();
    case host::TPropertyKind::pkSet:
        return TSetProperty::StaticClass();
    case host::TPropertyKind::pkStrings:
        return TStringsProperty::StaticClass();
    case host::TPropertyKind::pkComponent:
        return TComponentProperty::StaticClass();
    }
    return TPropertyEditor::StaticClass();
}

} // namespace designer
