// Published-property tables: one per component class, in declared order.
// Form files and the designer read these tables; nothing else lists a
// component's properties.
#pragma once

#include "host/Export.h"

#include "host/Component.h"
#include "host/Exception.h"
#include "host/StringList.h"

#include <cstdint>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace host {

enum class TPropertyKind : std::uint8_t {
    pkText,      // String
    pkBoolean,   // bool
    pkInteger,   // std::int64_t
    pkSet,       // TSetValue: a one-byte set, member names in SetMembers
    pkStrings,   // std::vector<String>: one entry per line
    pkComponent, // TComponent *: a reference to another component, or null
};

// When a property's value goes into a form file.
enum class TStored : std::uint8_t {
    Never,
    Always,
    WhenNotEmpty, // text or lines not empty, set not empty, reference not null, integer not 0
};

struct KELVRA_API TSetValue {
    std::uint8_t Bits = 0;
    bool operator==(const TSetValue &) const = default;
};

using TPropertyValue =
    std::variant<String, bool, std::int64_t, TSetValue, std::vector<String>, TComponent *>;

struct KELVRA_API TPropertyInfo {
    std::string_view Name;
    TPropertyKind Kind;
    TStored Stored;
    TPropertyValue (*Get)(const TComponent &);
    void (*Put)(TComponent &, const TPropertyValue &);
    std::span<const std::string_view> SetMembers{};              // pkSet: names, bit i = member i
    const TComponentClass &(*ReferenceClass)() = nullptr;        // pkComponent: the class referred to

    bool IsStored(const TComponent &component) const;
};

struct KELVRA_API TComponentClass {
    std::string_view Name;
    const TComponentClass *Parent; // null for TComponent itself
    TComponent *(*Create)(TComponent *owner);
    std::span<const TPropertyInfo> Properties;

    bool InheritsFrom(const TComponentClass &other) const;
    const TPropertyInfo *FindProperty(std::string_view name) const;
};

// Classes that form files may create, by name.
KELVRA_API void RegisterClass(const TComponentClass &cls);
KELVRA_API const TComponentClass *FindClass(std::string_view name);

// ---- Table builders -------------------------------------------------------
// Each binds a property to the class's accessor pair; `Get` and `Set` are
// member function pointers. They are named inside the class's own
// StaticClass(), so private accessors stay private.

template <class C>
const C &As(const TComponent &c) { return static_cast<const C &>(c); }
template <class C>
C &As(TComponent &c) { return static_cast<C &>(c); }

template <class C>
TComponent *CreateComponent(TComponent *owner) { return new C(owner); }

template <class C, auto Get, auto Set>
constexpr TPropertyInfo TextProperty(std::string_view name, TStored stored)
{
    return {name, TPropertyKind::pkText, stored,
            [](const TComponent &c) -> TPropertyValue { return String((As<C>(c).*Get)()); },
            [](TComponent &c, const TPropertyValue &v) { (As<C>(c).*Set)(std::get<String>(v)); }};
}

template <class C, auto Get, auto Set>
constexpr TPropertyInfo BooleanProperty(std::string_view name, TStored stored)
{
    return {name, TPropertyKind::pkBoolean, stored,
            [](const TComponent &c) -> TPropertyValue { return bool((As<C>(c).*Get)()); },
            [](TComponent &c, const TPropertyValue &v) { (As<C>(c).*Set)(std::get<bool>(v)); }};
}

template <class C, auto Get, auto Set>
constexpr TPropertyInfo IntegerProperty(std::string_view name, TStored stored)
{
    return {name, TPropertyKind::pkInteger, stored,
            [](const TComponent &c) -> TPropertyValue { return std::int64_t((As<C>(c).*Get)()); },
            [](TComponent &c, const TPropertyValue &v) { (As<C>(c).*Set)(std::get<std::int64_t>(v)); }};
}

template <class C, class SetType, auto Get, auto Set>
constexpr TPropertyInfo SetProperty(std::string_view name, TStored stored,
                                    std::span<const std::string_view> members)
{
    return {name, TPropertyKind::pkSet, stored,
            [](const TComponent &c) -> TPropertyValue { return TSetValue{(As<C>(c).*Get)().Bits()}; },
            [](TComponent &c, const TPropertyValue &v) {
                (As<C>(c).*Set)(SetType::FromBits(std::get<TSetValue>(v).Bits));
            },
            members};
}

template <class C, auto Get, auto Set>
constexpr TPropertyInfo StringsProperty(std::string_view name, TStored stored)
{
    return {name, TPropertyKind::pkStrings, stored,
            [](const TComponent &c) -> TPropertyValue { return (As<C>(c).*Get)().Lines(); },
            [](TComponent &c, const TPropertyValue &v) {
                TStringList lines;
                lines.Assign(std::get<std::vector<String>>(v));
                (As<C>(c).*Set)(lines);
            }};
}

// A reference to a component of class Target (or a descendant).
template <class C, class Target, auto Get, auto Set>
constexpr TPropertyInfo ComponentProperty(std::string_view name, TStored stored)
{
    return {name, TPropertyKind::pkComponent, stored,
            [](const TComponent &c) -> TPropertyValue {
                return static_cast<TComponent *>((As<C>(c).*Get)());
            },
            [](TComponent &c, const TPropertyValue &v) {
                TComponent *target = std::get<TComponent *>(v);
                auto *typed = dynamic_cast<Target *>(target);
                if (target != nullptr && typed == nullptr)
                    throw Exception(u"a reference to a " +
                                    FromAscii(Target::StaticClass().Name) + u" is needed");
                (As<C>(c).*Set)(typed);
            },
            {},
            &Target::StaticClass};
}

} // namespace host
