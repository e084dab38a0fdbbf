#include "signin/Keyring.h"

#include "Errors.h"

#include <libsecret/secret.h>

namespace kmp {

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

} // namespace

std::optional<Secret> KeyringLookup(const std::string &server, const std::string &user, std::string *why)
{
    GError *error = nullptr;
    gchar *found = secret_password_lookup_sync(Schema(), nullptr, &error, "server", server.c_str(), "user",
                                               user.c_str(), nullptr);
    if (error != nullptr) {
        const std::string text = Taken(error);
        if (why != nullptr)
            *why = text;
        return std::nullopt;
    }
    if (found == nullptr)
        return std::nullopt;
    Secret secret{std::string(found)};
    secret_password_free(found); // clears it
    return secret;
}

bool KeyringStore(const std::string &server, const std::string &user, const Secret &secret, std::string *why)
{
    GError *error = nullptr;
    const std::string label = "Kelvra: " + user + " at " + server;
    if (secret_password_store_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), secret.c_str(), nullptr, &error,
                                   "server", server.c_str(), "user", user.c_str(), nullptr))
        return true;
    *why = Taken(error);
    return false;
}

bool KeyringClear(const std::string &server, const std::string &user, std::string *why)
{
    GError *error = nullptr;
    secret_password_clear_sync(Schema(), nullptr, &error, "server", server.c_str(), "user", user.c_str(), nullptr);
    if (error == nullptr)
        return true;
    *why = Taken(error);
    return false;
}

} // namespace kmp
