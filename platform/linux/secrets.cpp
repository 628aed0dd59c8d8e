// Secrets on Linux: the desktop's keyring through the Secret Service on the
// session bus (libsecret), under a schema of ours whose attributes are
// `service` (the service's URL) and `user` (the account's ID), so that
// `secret-tool lookup service URL user ID` finds them too. Nothing is sealed
// here: without a keyring the caller decides where the secret goes.
#include <libsecret/secret.h>

#include "platform/linux/desktop.h"
#include "platform/secrets.h"

namespace platform {

namespace {

constexpr char kSecretsName[] = "org.freedesktop.secrets";

const SecretSchema* Schema() {
  static const SecretSchema schema = {
      "online.pinleaf.textsnap.Password",
      // Found by its attributes alone: a secret the user placed with other
      // tools (secret-tool store service URL user ID) is the account's too.
      SECRET_SCHEMA_DONT_MATCH_NAME,
      {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING}, {"user", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, {}}},
      0,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      nullptr};
  return &schema;
}

// Whether anything answers for the Secret Service on the session bus: a
// program that owns the name, or one the bus would start for it.
bool KeyringAnswers() {
  GDBusConnection* bus = desktop::SessionBus();
  if (!bus) return false;
  auto ask = [bus](const char* method, GVariant* args) {
    return g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                       method, args, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  };
  bool found = false;
  if (GVariant* owned = ask("NameHasOwner", g_variant_new("(s)", kSecretsName))) {
    g_variant_get(owned, "(b)", &found);
    g_variant_unref(owned);
  }
  if (found) return true;
  if (GVariant* names = ask("ListActivatableNames", nullptr)) {
    GVariantIter* it = nullptr;
    const gchar* name = nullptr;
    g_variant_get(names, "(as)", &it);
    while (!found && g_variant_iter_loop(it, "&s", &name)) found = g_strcmp0(name, kSecretsName) == 0;
    g_variant_iter_free(it);
    g_variant_unref(names);
  }
  return found;
}

// An error of the call: the keyring was not there after all (it could not be
// started), or it answered with a refusal.
TSecretResult Failure(GError* error) {
  const bool absent = error->domain == G_DBUS_ERROR &&
                      (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN || error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
                       error->code == G_DBUS_ERROR_SPAWN_EXEC_FAILED || error->code == G_DBUS_ERROR_SPAWN_FAILED ||
                       error->code == G_DBUS_ERROR_SPAWN_CHILD_EXITED);
  g_error_free(error);
  return absent ? TSecretResult::NoKeyring : TSecretResult::Failed;
}

}  // namespace

TSecretKeeper SecretKeeper() { return TSecretKeeper::Keyring; }

TSecretResult StoreSecret(const std::string& service, const std::string& user, const std::string& secret) {
  if (!KeyringAnswers()) return TSecretResult::NoKeyring;
  SecretValue* value = secret_value_new(secret.data(), static_cast<gssize>(secret.size()), "text/plain");
  const std::string label = "text snap: " + user + " at " + service;
  GError* error = nullptr;
  const gboolean stored =
      secret_password_store_binary_sync(Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value, nullptr, &error,
                                        "service", service.c_str(), "user", user.c_str(), nullptr);
  secret_value_unref(value);
  if (error) return Failure(error);
  return stored ? TSecretResult::Done : TSecretResult::Failed;
}

TSecretResult LoadSecret(const std::string& service, const std::string& user, std::string& secret) {
  if (!KeyringAnswers()) return TSecretResult::NoKeyring;
  GError* error = nullptr;
  SecretValue* value = secret_password_lookup_binary_sync(Schema(), nullptr, &error, "service", service.c_str(), "user",
                                                          user.c_str(), nullptr);
  if (error) return Failure(error);
  if (!value) return TSecretResult::NotFound;
  gsize size = 0;
  const gchar* bytes = secret_value_get(value, &size);
  secret.assign(bytes, size);
  secret_value_unref(value);
  return TSecretResult::Done;
}

TSecretResult EraseSecret(const std::string& service, const std::string& user) {
  if (!KeyringAnswers()) return TSecretResult::NoKeyring;
  GError* error = nullptr;
  const gboolean removed =
      secret_password_clear_sync(Schema(), nullptr, &error, "service", service.c_str(), "user", user.c_str(), nullptr);
  if (error) return Failure(error);
  return removed ? TSecretResult::Done : TSecretResult::NotFound;
}

std::optional<std::string> SealSecret(const std::string&) { return std::nullopt; }
std::optional<std::string> OpenSealedSecret(const std::string&) { return std::nullopt; }

}  // namespace platform
