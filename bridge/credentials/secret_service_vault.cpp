#include "bridge/credentials/secret_service_vault.h"

#include <libsecret/secret.h>

#include <memory>

namespace palisor {

namespace {

const SecretSchema* schema() {
    static const SecretSchema instance = [] {
        SecretSchema value{};
        value.name = "vn.palisor.bridge.GenericPassword";
        value.flags = SECRET_SCHEMA_NONE;
        value.attributes[0].name = "service";
        value.attributes[0].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        value.attributes[1].name = "account";
        value.attributes[1].type = SECRET_SCHEMA_ATTRIBUTE_STRING;
        return value;
    }();
    return &instance;
}

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
struct ObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
struct ValueUnref {
    void operator()(SecretValue* value) const { secret_value_unref(value); }
};
struct ItemListFree {
    void operator()(GList* list) const { g_list_free_full(list, g_object_unref); }
};

using ErrorPtr = std::unique_ptr<GError, ErrorFree>;
using ServicePtr = std::unique_ptr<SecretService, ObjectUnref>;
using CollectionPtr = std::unique_ptr<SecretCollection, ObjectUnref>;
using ItemPtr = std::unique_ptr<SecretItem, ObjectUnref>;
using AttributesPtr = std::unique_ptr<GHashTable, HashTableUnref>;
using ValuePtr = std::unique_ptr<SecretValue, ValueUnref>;
using ItemListPtr = std::unique_ptr<GList, ItemListFree>;

// The table only borrows the texts, which outlive every call below.
AttributesPtr attributes(const std::string& service, const std::string& account) {
    AttributesPtr table(g_hash_table_new(g_str_hash, g_str_equal));
    g_hash_table_insert(table.get(), const_cast<char*>("service"), const_cast<char*>(service.c_str()));
    g_hash_table_insert(table.get(), const_cast<char*>("account"), const_cast<char*>(account.c_str()));
    return table;
}

std::int32_t statusOf(const GError* error) {
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return vault_status::kLocked;
    if (error->domain == G_DBUS_ERROR &&
        (error->code == G_DBUS_ERROR_SERVICE_UNKNOWN || error->code == G_DBUS_ERROR_NAME_HAS_NO_OWNER ||
         error->code == G_DBUS_ERROR_NO_SERVER || error->code == G_DBUS_ERROR_DISCONNECTED))
        return vault_status::kServiceUnavailable;
    return vault_status::kServiceFailed;
}

// The process-wide connection libsecret keeps; it opens a transfer session so
// secrets never cross the bus in the clear.
std::int32_t connect(ServicePtr& out) {
    GError* raw = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &raw);
    ErrorPtr error(raw);
    if (!service) return vault_status::kServiceUnavailable;
    out.reset(service);
    return vault_status::kSuccess;
}

// Every item with our schema and these attributes, locked ones included, with
// the secrets of the unlocked ones loaded.
std::int32_t search(SecretService* service, const std::string& serviceName, const std::string& account,
                    ItemListPtr& out) {
    AttributesPtr query = attributes(serviceName, account);
    GError* raw = nullptr;
    GList* items = secret_service_search_sync(service, schema(), query.get(),
                                              static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
                                              nullptr, &raw);
    ErrorPtr error(raw);
    if (error) {
        g_list_free_full(items, g_object_unref);
        return statusOf(error.get());
    }
    out.reset(items);
    return vault_status::kSuccess;
}

// The collection new items go to, when it exists and is unlocked.
std::int32_t unlockedDefaultCollection(SecretService* service, CollectionPtr& out) {
    GError* raw = nullptr;
    CollectionPtr collection(
        secret_collection_for_alias_sync(service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw));
    ErrorPtr error(raw);
    if (error) return statusOf(error.get());
    if (!collection) return vault_status::kNoDefaultCollection;
    if (secret_collection_get_locked(collection.get())) return vault_status::kLocked;
    out = std::move(collection);
    return vault_status::kSuccess;
}

}  // namespace

KeychainReadResult SecretServiceVault::read(const std::string& serviceName, const std::string& account) {
    ServicePtr service;
    if (std::int32_t status = connect(service)) return {status, std::nullopt};
    ItemListPtr items;
    if (std::int32_t status = search(service.get(), serviceName, account, items)) return {status, std::nullopt};
    bool sawLocked = false;
    for (GList* entry = items.get(); entry; entry = entry->next) {
        auto* item = static_cast<SecretItem*>(entry->data);
        if (secret_item_get_locked(item)) {
            sawLocked = true;
            continue;
        }
        ValuePtr value(secret_item_get_secret(item));
        if (!value) continue;
        gsize length = 0;
        const gchar* bytes = secret_value_get(value.get(), &length);
        return {vault_status::kSuccess, std::string(bytes, length)};
    }
    return {sawLocked ? vault_status::kLocked : vault_status::kItemNotFound, std::nullopt};
}

std::int32_t SecretServiceVault::defaultCollectionStatus() {
    ServicePtr service;
    if (std::int32_t status = connect(service)) return status;
    CollectionPtr collection;
    return unlockedDefaultCollection(service.get(), collection);
}

std::int32_t SecretServiceVault::write(const std::string& serviceName, const std::string& account,
                                       std::string_view data) {
    ServicePtr service;
    if (std::int32_t status = connect(service)) return status;
    CollectionPtr collection;
    if (std::int32_t status = unlockedDefaultCollection(service.get(), collection)) return status;

    // Replacing keeps one item per (service, account) in the collection:
    // the update-or-add of a generic-password item.
    AttributesPtr itemAttributes = attributes(serviceName, account);
    ValuePtr value(secret_value_new(data.data(), static_cast<gssize>(data.size()), "application/octet-stream"));
    GError* raw = nullptr;
    ItemPtr item(secret_item_create_sync(collection.get(), schema(), itemAttributes.get(), kLabel, value.get(),
                                         SECRET_ITEM_CREATE_REPLACE, nullptr, &raw));
    ErrorPtr error(raw);
    if (error) return statusOf(error.get());
    return item ? vault_status::kSuccess : vault_status::kServiceFailed;
}

std::int32_t SecretServiceVault::remove(const std::string& serviceName, const std::string& account) {
    ServicePtr service;
    if (std::int32_t status = connect(service)) return status;
    ItemListPtr items;
    if (std::int32_t status = search(service.get(), serviceName, account, items)) return status;
    if (!items) return vault_status::kItemNotFound;
    for (GList* entry = items.get(); entry; entry = entry->next) {
        GError* raw = nullptr;
        bool deleted = secret_item_delete_sync(static_cast<SecretItem*>(entry->data), nullptr, &raw);
        ErrorPtr error(raw);
        if (error && g_error_matches(error.get(), SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) continue;
        if (error) return statusOf(error.get());
        if (!deleted) return vault_status::kServiceFailed;
    }
    return vault_status::kSuccess;
}

}  // namespace palisor
