// The framework's component: ownership tree, names, state, removal notices.
#pragma once

#include "host/Export.h"

#include "host/Set.h"
#include "host/Text.h"

#include <cstdint>
#include <vector>

namespace host {

struct TComponentClass;

enum class TComponentStateFlag : std::uint8_t {
    csLoading,    // being read from a form file; Loaded ends it
    csReading,    // its properties are being read right now
    csWriting,    // its properties are being written right now
    csDestroying, // on its way out
    csDesigning,  // lives in a visual designer
};
using TComponentState = Set<TComponentStateFlag>;

enum class TOperation : std::uint8_t { opInsert, opRemove };

// A component owns the components created with it as their owner and
// destroys them (last created first) when it is destroyed. A component being
// destroyed sends Notification(itself, opRemove) to its owner, which passes
// it on to every component it owns, and to every component that asked for a
// free notification from it; so a reference held by any of those can be
// dropped before it dangles.
//
// A component created without an owner belongs to its creator (hold it in a
// std::unique_ptr); one created with an owner must not be deleted by anyone
// but the owner, unless it is first taken out with RemoveComponent.
// Component names compare without regard to ASCII case; an empty name
// matches nothing.
KELVRA_API bool SameComponentName(std::u16string_view a, std::u16string_view b);

class KELVRA_API TComponent {
public:
    explicit TComponent(TComponent *owner);
    virtual ~TComponent();
    TComponent(const TComponent &) = delete;
    TComponent &operator=(const TComponent &) = delete;

    // The published-property table and name of the most derived class.
    static const TComponentClass &StaticClass();
    virtual const TComponentClass &ClassType() const;

    TComponent *Owner() const { return owner_; }
    std::size_t ComponentCount() const { return components_.size(); }
    TComponent *Components(std::size_t index) const { return components_.at(index); }
    // Takes ownership of `component` (taking it from its previous owner).
    void InsertComponent(TComponent *component);
    // Gives up ownership: the caller now owns `component`. Sends opRemove.
    void RemoveComponent(TComponent *component);
    // The owned component of that name (case-insensitive), or null.
    TComponent *FindComponent(std::u16string_view name) const;

    const String &Name() const { return name_; }
    // A valid identifier, or empty; unique (ignoring ASCII case) among the
    // owner's components. Raises Exception otherwise.
    void SetName(const String &name);

    TComponentState ComponentState() const { return state_; }
    // Marks this component and everything it owns as living in a designer.
    void SetDesigning(bool designing);

    // `component` is sent Notification(this, opRemove) when this one is
    // destroyed, whatever the owners; the relation is dropped again when
    // either side goes.
    void FreeNotification(TComponent *component);
    void RemoveFreeNotification(TComponent *component);

    // Removal and insertion notices. The base passes them on to every
    // owned component; overrides call it first.
    virtual void Notification(TComponent *component, TOperation operation);
    // Called once after the form this component belongs to was read
    // completely; the base ends the loading state. Overrides call it first.
    virtual void Loaded();

protected:
    // Marks the component as being destroyed. A derived destructor that
    // does work of its own calls it first, so that its state says so while
    // that work runs (C++ runs derived destructors before the base's).
    void Destroying() { state_.Include(TComponentStateFlag::csDestroying); }

private:
    friend class TFormReader;
    void SetStateFlag(TComponentStateFlag flag, bool on);
    void Insert(TComponent *component);
    void Remove(TComponent *component);
    void ValidateName(const String &name, const TComponent *owner) const;

    TComponent *owner_ = nullptr;
    std::vector<TComponent *> components_;
    std::vector<TComponent *> freeNotifies_;
    String name_;
    TComponentState state_;
};

} // namespace host
