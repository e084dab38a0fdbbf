#include "signin/Keyring.h"

#include "CancelAfter.h"
#include "Errors.h"

#include <libsecret/secret.h>

#include <memory>

namespace kelvra_provider {

namespace {

const SecretSchema *Schema()
{
    static const SecretSchema schema = {"org.kelvra.Password",
                                        SECRET_SCHEMA_NONE,
                                        {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"user", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &schema;
}

// The error's text, and the error gone.
std::string Taken(GError *error)
{
    std::string text = error != nullptr && error->message != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    return text;
}

// Whether the session bus answers within the bound, tried on a private
// connection: libsecret uses the process's shared one, and a bus that
// accepts and never answers would leave that stuck for every later caller
// (its setup waits on a lock no bound reaches). `why` names the bus.
bool BusAnswers(const CancelAfter &bound, std::string *why)
{
    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, bound.get(), &error);
    if (address == nullptr) {
        *why = "no D-Bus session: " + Taken(error);
        return false;
    }
    std::unique_ptr<gchar, void (*)(gpointer)> owned(address, g_free);
    GDBusConnection *bus = g_dbus_connection_new_for_address_sync(
        address,
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, bound.get(), &error);
    if (bus == nullptr) {
        const std::string said = Taken(error); // and the error gone
        *why = bound.Fired() ? "the session bus (" + std::string(address) + ") did not answer within " + bound.Words()
                             : "the session bus (" + std::string(address) + ") cannot be reached: " + said;
        return false;
    }
    g_dbus_connection_close_sync(bus, nullptr, nullptr);
    g_object_unref(bus);
    return true;
}

// The reason of a keyring call that failed: the bound's, when it ran out.
std::string Failed(GError *error, const CancelAfter &bound)
{
    if (bound.Fired()) {
        g_clear_error(&error);
        return "the keyring on the session bus did not answer within " + bound.Words();
    }
    return Taken(error);
}

std::chrono::milliseconds Bound(long seconds) { return std::chrono::seconds(seconds > 0 ? seconds : 1); }

} // namespace

std::optional<Secret> KeyringLookup(const std::string &server, const std::string &user, long seconds, std::string *why)
{
    const CancelAfter bound(Bound(seconds));
    std::string failed;
    GError *error = nullptr;
    gchar *found = nullptr;
    if (BusAnswers(bound, &failed)) {
        found = secret_password_lookup_sync(Schema(), bound.get(), &error, "server", server.c_str(), "user",
                                            user.c_str(), nullptr);
        if (error != nullptr)
            failed = Failed(error, bound);
    }
    if (!failed.empty()) {
        if (why != nullptr)
            *why = failed;
        return std::nullopt;
    }
    if (found == nullptr)
        return std::nullopt;
    Secret secret{std::string(found)};
    secret_password_free(found); // clears it
    return secret;
}

bool KeyringStore(const std::string &server, const std::string &user, const Secret &secret, long seconds,
                  std::string *why)
{
    const CancelAfter bound(Bound(seconds));
    if (!BusAnswers(bound, why))
        return false;
    GError *error = nullptr;
    const std::string label = "Kelvra: " + user + " at " + server;
    if (secret_password_store_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(), bound.get(),
                                   &error, "server", server.c_str(), "user", user.c_str(), nullptr))
        return true;
    *why = Failed(error, bound);
    return false;
}

bool KeyringClear(const std::string &server, const std::string &user, long seconds, std::string *why)
{
    const CancelAfter bound(Bound(seconds));
    if (!BusAnswers(bound, why))
        return false;
    GError *error = nullptr;
    secret_password_clear_sync(Schema(), bound.get(), &error, "server", server.c_str(), "user", user.c_str(), nullptr);
    if (error == nullptr)
        return true;
    *why = Failed(error, bound);
    return false;
}

} // namespace kelvra_provider
