// A component class with one published property of every kind, which
// records what the framework does to it.
#pragma once

#include "host/Component.h"
#include "host/Properties.h"

#include <string>
#include <vector>

namespace probe {

using host::String;

enum class TProbeOption : std::uint8_t { poOne, poTwo, poThree };
using TProbeOptions = host::Set<TProbeOption>;

// Everything every probe saw, in order, across all probes.
inline std::vector<std::string> &Log()
{
    static std::vector<std::string> log;
    return log;
}
inline int &Alive()
{
    static int alive = 0;
    return alive;
}

class TProbe : public host::TComponent {
public:
    explicit TProbe(host::TComponent *owner = nullptr) : host::TComponent(owner) { ++Alive(); }
    ~TProbe() override
    {
        --Alive();
        if (FLink != nullptr)
            Log().push_back("destroyed " + Tag() + " still linked");
    }

    static const host::TComponentClass &StaticClass();
    const host::TComponentClass &ClassType() const override { return StaticClass(); }

    std::string Tag() const { return Name().empty() ? "?" : std::string(Name().begin(), Name().end()); }

    const String &GetCaption() const { return FCaption; }
    void SetCaption(const String &v)
    {
        Log().push_back(Tag() + ".Caption" + (ComponentState().Contains(host::TComponentStateFlag::csLoading) ? " loading" : ""));
        FCaption = v;
    }
    bool GetEnabled() const { return FEnabled; }
    void SetEnabled(bool v) { FEnabled = v; }
    std::int64_t GetCount() const { return FCount; }
    void SetCount(std::int64_t v)
    {
        if (v < -100)
            throw host::Exception(u"Count too small");
        FCount = v;
    }
    TProbeOptions GetOptions() const { return FOptions; }
    void SetOptions(TProbeOptions v) { FOptions = v; }
    const host::TStringList &GetLines() const { return FLines; }
    void SetLines(const host::TStringList &v) { FLines.Assign(v); }
    TProbe *GetLink() const { return FLink; }
    void SetLink(TProbe *v)
    {
        Log().push_back(Tag() + ".Link=" + (v ? v->Tag() : "nil"));
        if (FLink != nullptr)
            FLink->RemoveFreeNotification(this);
        FLink = v;
        if (FLink != nullptr)
            FLink->FreeNotification(this);
    }
    const String &GetSecret() const { return FSecret; }
    void SetSecret(const String &v) { FSecret = v; }

    void Notification(host::TComponent *c, host::TOperation op) override
    {
        host::TComponent::Notification(c, op);
        if (op == host::TOperation::opRemove && static_cast<void *>(c) == static_cast<void *>(FLink))
            FLink = nullptr;
        if (op == host::TOperation::opRemove)
            Log().push_back(Tag() + " told " + (c->Name().empty() ? "?" : std::string(c->Name().begin(), c->Name().end())) + " goes");
    }
    void Loaded() override
    {
        host::TComponent::Loaded();
        Log().push_back("Loaded " + Tag() + (FLink ? " link=" + FLink->Tag() : ""));
        if (FCaption == u"fail in Loaded")
            throw host::Exception(u"Loaded failed");
    }

private:
    String FCaption;
    bool FEnabled = false;
    std::int64_t FCount = 0;
    TProbeOptions FOptions;
    host::TStringList FLines;
    TProbe *FLink = nullptr;
    String FSecret;
};

inline const host::TComponentClass &TProbe::StaticClass()
{
    using host::TStored;
    using P = TProbe;
    static constexpr std::string_view options[] = {"poOne", "poTwo", "poThree"};
    static const host::TPropertyInfo properties[] = {
        host::TextProperty<P, &P::GetCaption, &P::SetCaption>("Caption", TStored::WhenNotEmpty),
        host::BooleanProperty<P, &P::GetEnabled, &P::SetEnabled>("Enabled", TStored::Always),
        host::IntegerProperty<P, &P::GetCount, &P::SetCount>("Count", TStored::WhenNotEmpty),
        host::SetProperty<P, TProbeOptions, &P::GetOptions, &P::SetOptions>("Options", TStored::Always, options),
        host::StringsProperty<P, &P::GetLines, &P::SetLines>("Lines", TStored::Always),
        host::ComponentProperty<P, P, &P::GetLink, &P::SetLink>("Link", TStored::WhenNotEmpty),
        host::TextProperty<P, &P::GetSecret, &P::SetSecret>("Secret", TStored::Never),
    };
    static const host::TComponentClass cls{"TProbe", &host::TComponent::StaticClass(),
                                           &host::CreateComponent<P>, properties};
    return cls;
}

inline void Register()
{
    host::RegisterClass(TProbe::StaticClass());
}

} // namespace probe
