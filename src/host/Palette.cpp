#include "host/Palette.h"

#include "host/Exception.h"

#include <atomic>

namespace host {

namespace {

std::atomic<TRegisterComponentsHandler> handler{nullptr};

} // namespace

void RegisterComponents(std::u16string_view page, std::initializer_list<const TComponentClass *> classes)
{
    RegisterComponents(page, std::span<const TComponentClass *const>(classes.begin(), classes.size()));
}

void RegisterComponents(std::u16string_view page, std::span<const TComponentClass *const> classes)
{
    const TRegisterComponentsHandler current = handler.load();
    if (current == nullptr)
        throw Exception(u"Components cannot be registered: no designer is listening");
    if (page.empty())
        throw Exception(u"Components cannot be registered without a palette page name");
    for (const TComponentClass *cls : classes)
        if (cls == nullptr)
            throw Exception(u"A null class cannot be registered on palette page " + String(page));
    current(page, classes);
}

void SetRegisterComponentsHandler(TRegisterComponentsHandler value)
{
    handler.store(value);
}

} // namespace host
