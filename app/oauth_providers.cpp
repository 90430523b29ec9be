#include "app/oauth_providers.h"

#include <algorithm>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

constexpr char kProviders[] = "providers";
constexpr char kTenantMark[] = "<tenant>";

QString Text(const QJsonObject& entry, const char* key) {
    return entry.value(QLatin1String(key)).toString();
}

// Only the fields an entry gives replace the built-in's.
void LayOver(const QJsonObject& entry, OAuthProvider& provider) {
    const auto take = [&entry](const char* key, QString& field) {
        if (entry.contains(QLatin1String(key)) && entry.value(QLatin1String(key)).isString()) {
            field = Text(entry, key);
        }
    };
    take("name", provider.name);
    take("authorization_endpoint", provider.authorizationEndpoint);
    take("token_endpoint", provider.tokenEndpoint);
    take("device_authorization_endpoint", provider.deviceAuthorizationEndpoint);
    take("scope", provider.scope);
    take("client_id", provider.clientId);
    take("client_secret", provider.clientSecret);
    take("tenant", provider.tenant);
}

void NameTenant(OAuthProvider& provider) {
    const QString tenant =
        provider.tenant.trimmed().isEmpty() ? QStringLiteral("common") : provider.tenant.trimmed();
    for (QString* endpoint : {&provider.authorizationEndpoint, &provider.tokenEndpoint,
                              &provider.deviceAuthorizationEndpoint}) {
        endpoint->replace(QLatin1String(kTenantMark), tenant);
    }
}

OAuthProvider BuiltIn(const char* id, const char* name, const char* authorization,
                      const char* token, const char* device, const char* scope) {
    OAuthProvider provider;
    provider.id = QLatin1String(id);
    provider.name = QLatin1String(name);
    provider.authorizationEndpoint = QLatin1String(authorization);
    provider.tokenEndpoint = QLatin1String(token);
    provider.deviceAuthorizationEndpoint = QLatin1String(device);
    provider.scope = QLatin1String(scope);
    provider.builtIn = true;
    return provider;
}

}  // namespace

QString OAuthProviders::FilePath(const QString& dataDirectory) {
    return QDir(dataDirectory).filePath(QStringLiteral("providers.json"));
}

std::vector<OAuthProvider> OAuthProviders::BuiltIns() {
    // Google offers no device sign-in for the mail scope.
    return {
        BuiltIn("google", "Google", "https://accounts.google.com/o/oauth2/v2/auth",
                "https://oauth2.googleapis.com/token", "", "https://mail.google.com/"),
        BuiltIn("microsoft", "Microsoft",
                "https://login.microsoftonline.com/<tenant>/oauth2/v2.0/authorize",
                "https://login.microsoftonline.com/<tenant>/oauth2/v2.0/token",
                "https://login.microsoftonline.com/<tenant>/oauth2/v2.0/devicecode",
                "https://outlook.office.com/POP.AccessAsUser.All offline_access"),
        BuiltIn("yahoo", "Yahoo", "https://api.login.yahoo.com/oauth2/request_auth",
                "https://api.login.yahoo.com/oauth2/get_token", "", "mail-r"),
    };
}

bool OAuthProviders::Load(const QString& path, QString* error) {
    document_ = QJsonObject();
    QFile file(path);
    if (!file.exists()) {
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        if (error) {
            *error = QStringLiteral("%1 could not be read.").arg(path);
        }
        return false;
    }
    QJsonParseError parse{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parse);
    if (!document.isObject() || !document.object().value(QLatin1String(kProviders)).isArray()) {
        if (error) {
            *error = QStringLiteral("%1 is not a list of providers (%2).")
                         .arg(path, parse.error != QJsonParseError::NoError
                                        ? parse.errorString()
                                        : QStringLiteral("no \"providers\" array"));
        }
        return false;
    }
    document_ = document.object();
    return true;
}

bool OAuthProviders::Save(const QString& path, QString* error) const {
    QJsonObject document = document_;
    if (!document.value(QLatin1String(kProviders)).isArray()) {
        document.insert(QLatin1String(kProviders), QJsonArray());
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(QJsonDocument(document).toJson(QJsonDocument::Indented)) < 0 || !file.commit()) {
        if (error) {
            *error = QStringLiteral("%1 could not be saved.").arg(path);
        }
        return false;
    }
    return true;
}

std::optional<OAuthProvider> OAuthProviders::Find(const QString& id) const {
    for (const OAuthProvider& provider : All()) {
        if (provider.id == id) {
            return provider;
        }
    }
    return std::nullopt;
}

std::vector<OAuthProvider> OAuthProviders::All() const {
    std::vector<OAuthProvider> all = BuiltIns();
    for (const QJsonValue& value : document_.value(QLatin1String(kProviders)).toArray()) {
        const QJsonObject entry = value.toObject();
        const QString id = Text(entry, "id");
        if (id.isEmpty()) {
            continue;
        }
        auto known = std::find_if(all.begin(), all.end(),
                                  [&id](const OAuthProvider& p) { return p.id == id; });
        if (known == all.end()) {
            all.emplace_back();
            known = all.end() - 1;
            known->id = id;
            known->name = id;
        }
        LayOver(entry, *known);
    }
    for (OAuthProvider& provider : all) {
        NameTenant(provider);
    }
    return all;
}

void OAuthProviders::SetClient(const QString& id, const QString& clientId,
                               const QString& clientSecret, const std::optional<QString>& tenant) {
    QJsonArray providers = document_.value(QLatin1String(kProviders)).toArray();
    qsizetype at = -1;
    for (qsizetype i = 0; i < providers.size(); ++i) {
        if (Text(providers[i].toObject(), "id") == id) {
            at = i;
            break;
        }
    }
    if (at < 0) {
        QJsonObject fresh;
        fresh.insert(QStringLiteral("id"), id);
        providers.append(fresh);
        at = providers.size() - 1;
    }
    QJsonObject entry = providers[at].toObject();
    const auto put = [&entry](const char* key, const QString& value) {
        if (value.trimmed().isEmpty()) {
            entry.remove(QLatin1String(key));
        } else {
            entry.insert(QLatin1String(key), value.trimmed());
        }
    };
    put("client_id", clientId);
    put("client_secret", clientSecret);
    if (tenant) {
        put("tenant", *tenant);
    }
    providers[at] = entry;
    document_.insert(QLatin1String(kProviders), providers);
}
