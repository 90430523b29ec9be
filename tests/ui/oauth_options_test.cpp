// The Options page's client ids: what providers.json gives the built-in providers, and
// that the page's rewrite keeps everything it does not edit.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QtTest>

#include "app/oauth_providers.h"
#include "ui/message_box.h"
#include "ui/page_options.h"

namespace {

QJsonObject ReadJson(const QString& path) {
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QJsonDocument::fromJson(file.readAll()).object();
}

void WriteText(const QString& path, const QByteArray& text) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QJsonObject Entry(const QJsonObject& document, const QString& id) {
    for (const QJsonValue& value : document.value(QStringLiteral("providers")).toArray()) {
        if (value.toObject().value(QStringLiteral("id")).toString() == id) {
            return value.toObject();
        }
    }
    return {};
}

void Type(QLineEdit* box, const QString& text) {
    box->setText(text);
    box->setModified(true);
    emit box->editingFinished();
}

}  // namespace

class OAuthOptionsTest : public QObject {
    Q_OBJECT
  private slots:
    void EditsKeepUnknownKeysAndOtherProviders();
    void UnreadableFileIsNeverWrittenOver();
};

void OAuthOptionsTest::EditsKeepUnknownKeysAndOtherProviders() {
    QTemporaryDir dir;
    const QString path = OAuthProviders::FilePath(dir.path());
    WriteText(path, R"({"version_note":"kept","providers":[
        {"id":"google","client_id":"g-id","future_key":{"a":1}}]})");

    CPageOptions page;
    page.SetDataDirectory(dir.path());
    QCOMPARE(page.ProviderBox("google", "client_id")->text(), QStringLiteral("g-id"));
    QVERIFY(page.ProviderBox("microsoft", "client_id")->isEnabled());
    QVERIFY(page.ProviderBox("google", "tenant") == nullptr);

    // A hand edit made while the page is open survives the page's next write.
    WriteText(path, R"({"version_note":"kept","providers":[
        {"id":"google","client_id":"g-id","future_key":{"a":1}},
        {"id":"corp","name":"Corp mail","authorization_endpoint":"https://sso.corp.example/auth",
         "token_endpoint":"https://sso.corp.example/token","scope":"pop","client_id":"c-id"}]})");
    Type(page.ProviderBox("microsoft", "client_id"), QStringLiteral(" ms-id "));
    Type(page.ProviderBox("microsoft", "tenant"), QStringLiteral("contoso.example"));
    Type(page.ProviderBox("google", "client_secret"), QStringLiteral("g-secret"));

    const QJsonObject saved = ReadJson(path);
    QCOMPARE(saved.value("version_note").toString(), QStringLiteral("kept"));
    QCOMPARE(Entry(saved, "google").value("future_key").toObject().value("a").toInt(), 1);
    QCOMPARE(Entry(saved, "google").value("client_id").toString(), QStringLiteral("g-id"));
    QCOMPARE(Entry(saved, "google").value("client_secret").toString(), QStringLiteral("g-secret"));
    QCOMPARE(Entry(saved, "corp").value("scope").toString(), QStringLiteral("pop"));

    OAuthProviders providers;
    QVERIFY(providers.Load(path));
    const auto microsoft = providers.Find("microsoft");
    QVERIFY(microsoft);
    QCOMPARE(microsoft->clientId, QStringLiteral("ms-id"));
    QCOMPARE(microsoft->tokenEndpoint,
             QStringLiteral("https://login.microsoftonline.com/contoso.example/oauth2/v2.0/token"));
    QVERIFY(
        microsoft->deviceAuthorizationEndpoint.endsWith("/contoso.example/oauth2/v2.0/devicecode"));
    QCOMPARE(providers.Find("google")->scope, QStringLiteral("https://mail.google.com/"));
    QVERIFY(providers.Find("google")->deviceAuthorizationEndpoint.isEmpty());
    QCOMPARE(providers.Find("corp")->tokenEndpoint,
             QStringLiteral("https://sso.corp.example/token"));
    QVERIFY(!providers.Find("corp")->builtIn);

    // Clearing the tenant removes the key: Microsoft's endpoints go back to "common".
    Type(page.ProviderBox("microsoft", "tenant"), QString());
    QVERIFY(!Entry(ReadJson(path), "microsoft").contains("tenant"));
    QVERIFY(providers.Load(path));
    QVERIFY(providers.Find("microsoft")->authorizationEndpoint.contains("/common/"));
}

void OAuthOptionsTest::UnreadableFileIsNeverWrittenOver() {
    QTemporaryDir dir;
    const QString path = OAuthProviders::FilePath(dir.path());
    const QByteArray broken = R"({"providers":[{"id":"google",)";
    WriteText(path, broken);
    SetMessageHook([](const QString&) {});
    CPageOptions page;
    page.SetDataDirectory(dir.path());
    QVERIFY(!page.ProviderBox("google", "client_id")->isEnabled());
    Type(page.ProviderBox("google", "client_id"), QStringLiteral("typed"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), broken);
    SetMessageHook({});
}

QTEST_MAIN(OAuthOptionsTest)
#include "oauth_options_test.moc"
