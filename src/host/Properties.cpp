#include "host/Properties.h"

#include <map>
#include <string>

namespace host {

namespace {

std::map<std::string, const TComponentClass *, std::less<>> &Registry()
{
    static std::map<std::string, const TComponentClass *, std::less<>> registry;
    return registry;
}

bool IsEmptyValue(const TPropertyValue &value)
{
    return std::visit(
        [](const auto &v) -> bool {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, String> || std::is_same_v<V, std::vector<String>>)
                return v.empty();
            else if constexpr (std::is_same_v<V, TSetValue>)
                return v.Bits == 0;
            else if constexpr (std::is_same_v<V, TComponent *>)
                return v == nullptr;
            else
                return v == V{};
        },
        value);
}

} // namespace

bool TPropertyInfo::IsStored(const TComponent &component) const
{
    switch (Stored) {
    case TStored::Never:
        return false;
    case TStored::Always:
        return true;
    case TStored::WhenNotEmpty:
        return !IsEmptyValue(Get(component));
    }
    return false;
}

bool TComponentClass::InheritsFrom(const TComponentClass &other) const
{
    for (const TComponentClass *c = this; c != nullptr; c = c->Parent)
        if (c == &other)
            return true;
    return false;
}

const TPropertyInfo *TComponentClass::FindProperty(std::string_view name) const
{
    for (const TPropertyInfo &p : Properties)
        if (p.Name == name)
            return &p;
    return nullptr;
}

void RegisterClass(const TComponentClass &cls)
{
    Registry()[std::string(cls.Name)] = &cls;
}

const TComponentClass *FindClass(std::string_view name)
{
    if (name == TComponent::StaticClass().Name)
        return &TComponent::StaticClass();
    const auto &registry = Registry();
    const auto it = registry.find(name);
    return it == registry.end() ? nullptr : it->second;
}

} // namespace host
