#include "host/Component.h"

#include "host/Exception.h"
#include "host/Properties.h"

#include <algorithm>

namespace host {

bool SameComponentName(std::u16string_view a, std::u16string_view b)
{
    auto lower = [](char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c; };
    return !a.empty() && a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

namespace {

bool IsIdentifier(std::u16string_view name)
{
    if (name.empty())
        return false;
    auto letter = [](char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_'; };
    auto digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
    if (!letter(name[0]))
        return false;
    return std::all_of(name.begin(), name.end(), [&](char16_t c) { return letter(c) || digit(c); });
}

void Erase(std::vector<TComponent *> &list, const TComponent *item)
{
    list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

} // namespace

const TComponentClass &TComponent::StaticClass()
{
    static const TComponentClass cls{"TComponent", nullptr, &CreateComponent<TComponent>, {}};
    return cls;
}

const TComponentClass &TComponent::ClassType() const
{
    return StaticClass();
}

TComponent::TComponent(TComponent *owner)
{
    if (owner != nullptr)
        owner->InsertComponent(this);
}

TComponent::~TComponent()
{
    Destroying();

    // Everyone who asked is told first, while this component is still whole
    // as far as the base is concerned.
    while (!freeNotifies_.empty()) {
        TComponent *other = freeNotifies_.back();
        freeNotifies_.pop_back();
        Erase(other->freeNotifies_, this);
        other->Notification(this, TOperation::opRemove);
    }

    // Owned components go last-created first; each tells its siblings.
    while (!components_.empty()) {
        TComponent *child = components_.back();
        child->Destroying();
        delete child; // its destructor takes it out of components_
    }

    if (owner_ != nullptr)
        owner_->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent *component)
{
    if (component == nullptr || component->owner_ == this)
        return;
    ValidateName(component->name_, this);
    if (component->owner_ != nullptr)
        component->owner_->RemoveComponent(component);
    Insert(component);
    Notification(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent *component)
{
    if (component == nullptr || component->owner_ != this)
        return;
    Remove(component);
    Notification(component, TOperation::opRemove);
}

void TComponent::Insert(TComponent *component)
{
    components_.push_back(component);
    component->owner_ = this;
}

void TComponent::Remove(TComponent *component)
{
    Erase(components_, component);
    component->owner_ = nullptr;
}

TComponent *TComponent::FindComponent(std::u16string_view name) const
{
    if (name.empty())
        return nullptr;
    for (TComponent *c : components_)
        if (SameComponentName(c->name_, name))
            return c;
    return nullptr;
}

void TComponent::ValidateName(const String &name, const TComponent *owner) const
{
    if (name.empty() || owner == nullptr)
        return;
    const TComponent *existing = owner->FindComponent(name);
    if (existing != nullptr && existing != this)
        throw Exception(u"A component named " + name + u" already exists");
}

void TComponent::SetName(const String &name)
{
    if (name == name_)
        return;
    if (!name.empty() && !IsIdentifier(name))
        throw Exception(u"'" + name + u"' is not a valid component name");
    // A form file writes "no component" as nil: a component of that name
    // could not be referred to.
    if (SameComponentName(name, u"nil"))
        throw Exception(u"'" + name + u"' is reserved and cannot be a component name");
    ValidateName(name, owner_);
    name_ = name;
}

void TComponent::SetDesigning(bool designing)
{
    SetStateFlag(TComponentStateFlag::csDesigning, designing);
    for (TComponent *c : components_)
        c->SetDesigning(designing);
}

void TComponent::SetStateFlag(TComponentStateFlag flag, bool on)
{
    if (on)
        state_.Include(flag);
    else
        state_.Exclude(flag);
}

void TComponent::FreeNotification(TComponent *component)
{
    if (component == nullptr || component == this)
        return;
    if (std::find(freeNotifies_.begin(), freeNotifies_.end(), component) == freeNotifies_.end()) {
        freeNotifies_.push_back(component);
        component->freeNotifies_.push_back(this);
    }
}

void TComponent::RemoveFreeNotification(TComponent *component)
{
    if (component == nullptr)
        return;
    Erase(freeNotifies_, component);
    Erase(component->freeNotifies_, this);
}

void TComponent::Notification(TComponent *component, TOperation operation)
{
    if (operation == TOperation::opRemove)
        RemoveFreeNotification(component);
    // Copy: a receiver may change the set of owned components.
    const std::vector<TComponent *> owned = components_;
    for (auto it = owned.rbegin(); it != owned.rend(); ++it)
        if (std::find(components_.begin(), components_.end(), *it) != components_.end())
            (*it)->Notification(component, operation);
}

void TComponent::Loaded()
{
    SetStateFlag(TComponentStateFlag::csLoading, false);
}

} // namespace host
