#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>
#include <vector>

// One OAuth2 authorization server, with the endpoint names of RFC 8414.
struct OAuthProvider {
    QString id;
    QString name;
    QString authorizationEndpoint;
    QString tokenEndpoint;
    QString deviceAuthorizationEndpoint;  // empty: no device sign-in
    QString scope;
    QString clientId;
    QString clientSecret;
    QString tenant;
    bool builtIn = false;
};

// The built-in providers (Google, Microsoft, Yahoo) and the user's own, from
// providers.json in the data directory. The file is kept as read: keys this program
// does not know survive a rewrite, so a newer version's settings are not lost.
class OAuthProviders {
  public:
    static QString FilePath(const QString& dataDirectory);

    // An absent file is no error: the built-ins then have no client id. A file that is
    // not a JSON object with a "providers" array is refused with `error` set, and the
    // object is left with the built-ins alone.
    [[nodiscard]] bool Load(const QString& path, QString* error = nullptr);
    // Replaces the file atomically.
    [[nodiscard]] bool Save(const QString& path, QString* error = nullptr) const;

    // A built-in with the file's fields laid over it, or a custom provider; Microsoft's
    // endpoints name its tenant ("common" unless set).
    std::optional<OAuthProvider> Find(const QString& id) const;
    std::vector<OAuthProvider> All() const;
    static std::vector<OAuthProvider> BuiltIns();

    // Sets the client fields of `id` (an empty value removes the key; no tenant leaves
    // that key alone), adding its entry when the file has none.
    void SetClient(const QString& id, const QString& clientId, const QString& clientSecret,
                   const std::optional<QString>& tenant = std::nullopt);

  private:
    QJsonObject document_;
};
