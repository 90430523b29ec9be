#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSslCertificate>
#include <QTemporaryDir>
#include <QtTest>
#include <cstring>
#include <optional>
#include <vector>

#include "app/app_state.h"
#include "gui_test_support.h"
#include "store/account_record.h"
#include "tests/support/test_certificates.h"
#include "ui/account_dialog.h"
#include "ui/autoconfig_lookup.h"
#include "ui/number_box.h"

namespace {

struct Form {
    explicit Form(QDialog& dialog)
        : emailEdit(dialog.findChild<QLineEdit*>("emailEdit")),
          serverEdit(dialog.findChild<QLineEdit*>("serverEdit")),
          userEdit(dialog.findChild<QLineEdit*>("userEdit")),
          passwordEdit(dialog.findChild<QLineEdit*>("passwordEdit")),
          securityCombo(dialog.findChild<QComboBox*>("securityCombo")),
          authCombo(dialog.findChild<QComboBox*>("authCombo")),
          portBox(dialog.findChild<NumberBox*>("portBox")),
          hintLabel(dialog.findChild<QLabel*>("hintLabel")),
          trustLabel(dialog.findChild<QLabel*>("trustLabel")),
          signInButton(dialog.findChild<QAbstractButton*>("signInButton")),
          forgetButton(dialog.findChild<QAbstractButton*>("forgetButton")),
          okButton(dialog.findChild<QAbstractButton*>("okButton")) {}
    QLineEdit* emailEdit;
    QLineEdit* serverEdit;
    QLineEdit* userEdit;
    QLineEdit* passwordEdit;
    QComboBox* securityCombo;
    QComboBox* authCombo;
    NumberBox* portBox;
    QLabel* hintLabel;
    QLabel* trustLabel;
    QAbstractButton* signInButton;
    QAbstractButton* forgetButton;
    QAbstractButton* okButton;

    // Server, port, security, user name and method as one line, to compare at once.
    QString Settings() const {
        return QStringList{serverEdit->text(), portBox->Text(), securityCombo->currentText(),
                           userEdit->text(), authCombo->currentText()}
            .join(' ');
    }
};

void Type(QLineEdit* edit, const QString& text) {
    edit->clear();
    QTest::keyClicks(edit, text);
}

// What the accounts page stores after OK: the dialog's values, with the stored
// password where none was typed.
std::string Saved(const AccountDialog& dialog, const AccountRecord& stored) {
    AccountRecord record = dialog.Values();
    if (!dialog.PasswordTyped()) {
        std::memcpy(record.password, stored.password, sizeof record.password);
    }
    return BuildAccountRecord(record);
}

AccountRecord Stored(const char* address, int method, const char* email = "",
                     const char* provider = "") {
    AccountRecord record{};
    SetAccountText(record.description, "Old");
    SetAccountText(record.address, address);
    SetAccountText(record.password, "pw");
    SetAccountText(record.emailAddress, email);
    SetAccountText(record.providerId, provider);
    record.authMethod = method;
    record.periodMinutes = 10;
    record.scanMessages = 1;
    return record;
}

QString Pop3Config(const QString& host, const QString& socket, int port, const QString& user,
                   const QString& auth) {
    return QStringLiteral(
               "<?xml version=\"1.0\"?>\n<clientConfig version=\"1.1\"><emailProvider "
               "id=\"x\"><domain>x</domain><incomingServer type=\"imap\"><hostname>imap.x."
               "test</hostname><port>993</port><socketType>SSL</socketType></incomingServer>"
               "<incomingServer type=\"pop3\"><hostname>%1</hostname><port>%3</port>"
               "<socketType>%2</socketType><username>%4</username><authentication>%5"
               "</authentication></incomingServer></emailProvider></clientConfig>\n")
        .arg(host, socket, QString::number(port), user, auth);
}

bool Write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

class AccountDialogTest : public QObject {
    Q_OBJECT

  private:
    guitest::MessageLog log_;

  private slots:
    void init() { log_.texts.clear(); }

    void addressFillsWhatTheUserLeft() {
        AccountDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        Form form(dialog);
        Type(form.emailEdit, "me@gmail.com");
        QCOMPARE(form.Settings(), QString("pop.gmail.com 995 SSL/TLS me@gmail.com POP3 Password"));
        QVERIFY(form.hintLabel->isVisible());
        QVERIFY(form.hintLabel->text().startsWith("Turn on POP in Gmail's settings first."));

        // A domain in another case is the same provider; a provider without POP3 says so
        // and leaves no server to try.
        Type(form.emailEdit, "Ann@ICloud.com");
        QCOMPARE(form.Settings(), QString(" 995 SSL/TLS Ann@ICloud.com POP3 Password"));
        QCOMPARE(form.hintLabel->text(), QString("iCloud offers no POP3."));

        // A server and a user name typed by hand stay; the rest follows the address.
        form.serverEdit->setText("pop.example.net");
        form.userEdit->setText("ann");
        Type(form.emailEdit, "ann@hotmail.co.uk");
        QCOMPARE(form.Settings(), QString("pop.example.net 995 SSL/TLS ann OAuth2"));
        QVERIFY(form.hintLabel->text().contains("only with OAuth2"));
        QVERIFY(!form.passwordEdit->isVisible());
        QVERIFY(form.signInButton->isVisible());
        QVERIFY(!form.signInButton->isEnabled());

        // The sign-in hook sees the account as it stands and may name the provider.
        std::vector<std::string> seen;
        dialog.SetSignInHandler([&seen](AccountRecord& record) {
            seen = {record.address, record.emailAddress, record.providerId};
            SetAccountText(record.providerId, "contoso");
            return true;
        });
        QVERIFY(form.signInButton->isEnabled());
        form.signInButton->click();
        QCOMPARE(seen, (std::vector<std::string>{"ann@pop.example.net", "ann@hotmail.co.uk",
                                                 "microsoft"}));
        // A hand-picked mode keeps its port too; the method goes back to the password.
        form.securityCombo->setCurrentIndex(2);
        Type(form.emailEdit, "ann@example.invalid");
        QCOMPARE(form.Settings(), QString("pop.example.net 110 STARTTLS ann POP3 Password"));
        QVERIFY(!form.hintLabel->isVisible());
        QVERIFY(form.passwordEdit->isVisible());
        QVERIFY(!form.signInButton->isVisible());

        form.authCombo->setCurrentIndex(2);
        form.signInButton->click();
        form.okButton->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const AccountRecord record = dialog.Values();
        QCOMPARE(QString(record.address), QString("ann@pop.example.net"));
        QCOMPARE(QString(record.emailAddress), QString("ann@example.invalid"));
        QCOMPARE(record.authMethod, 2);
        QCOMPARE(QString(record.providerId), QString("contoso"));
        QCOMPARE(record.port, 110);
    }

    void storedAccountsComeBackAsTheyWere() {
        // An account of an earlier version; one whose login is the address; one whose
        // address differs from its login; one with a sign-in digit this version lacks;
        // one with an OAuth2 provider of its own at a provider the table knows.
        const AccountRecord stored[] = {
            Stored("bob@pop.example.com", 1),
            Stored("me@example.com@pop.example.com", 0),
            Stored("bob@pop.example.com", 0, "Bob.Smith@example.com"),
            Stored("no-at-sign", 7),
            Stored("me@gmail.com@pop.gmail.com", 2, "", "google-work"),
        };
        const char* shown[][3] = {{"", "bob", "pop.example.com"},
                                  {"me@example.com", "me@example.com", "pop.example.com"},
                                  {"Bob.Smith@example.com", "bob", "pop.example.com"},
                                  {"", "no-at-sign", "no-at-sign"},
                                  {"me@gmail.com", "me@gmail.com", "pop.gmail.com"}};
        for (std::size_t i = 0; i < std::size(stored); ++i) {
            AccountDialog dialog;
            dialog.Load(stored[i]);
            Form form(dialog);
            QCOMPARE((QStringList{form.emailEdit->text(), form.userEdit->text(),
                                  form.serverEdit->text()}),
                     (QStringList{shown[i][0], shown[i][1], shown[i][2]}));
            QCOMPARE(form.portBox->Text(), QString("110"));
            form.okButton->click();
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
            QCOMPARE(Saved(dialog, stored[i]), BuildAccountRecord(stored[i]));
        }

        // What the user types comes back on the next opening; an address equal to the
        // login is not stored twice.
        AccountDialog first;
        Form typed(first);
        typed.serverEdit->setText("mail.example.org");
        Type(typed.emailEdit, "Jo@Example.org");
        typed.userEdit->setText("jo-login");
        typed.okButton->click();
        AccountDialog second;
        second.Load(first.Values());
        Form reopened(second);
        QCOMPARE(reopened.Settings(),
                 QString("mail.example.org 995 SSL/TLS jo-login POP3 Password"));
        QCOMPARE(reopened.emailEdit->text(), QString("Jo@Example.org"));
        reopened.userEdit->setText("Jo@Example.org");
        reopened.okButton->click();
        QCOMPARE(QString(second.Values().emailAddress), QString());
        QCOMPARE(QString(second.Values().address), QString("Jo@Example.org@mail.example.org"));
    }

    void okRefusesWhatCannotBeStored() {
        AccountDialog dialog;
        Form form(dialog);
        const struct {
            QString email, server, user, message;
            QLineEdit* focus;
        } cases[] = {
            {"", " ", "me", "Enter the server's name.", form.serverEdit},
            {"", "pop.example.com", "", "Enter the user name.", form.userEdit},
            {"", "me@pop.example.com", "x", "at sign", form.serverEdit},
            {"me", "pop.example.com", "x", "whole e-mail address", form.emailEdit},
            {"", QString(200, 'p'), QString(60, 'u'), "too long", form.userEdit},
        };
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        for (const auto& c : cases) {
            form.emailEdit->setText(c.email);
            form.serverEdit->setText(c.server);
            form.userEdit->setText(c.user);
            form.okButton->click();
            QVERIFY(dialog.isVisible());
            QCOMPARE(log_.texts.size(), 1);
            QVERIFY2(log_.texts.takeFirst().contains(c.message), qPrintable(c.message));
            QCOMPARE(dialog.focusWidget(), c.focus);
        }
    }

    void trustedCertificateShownAndForgotten() {
        AccountRecord stored = Stored("bob@pop.example.com", 0);
        stored.security = 1;
        std::memcpy(stored.trustedFingerprint, QByteArray(32, 'A').append(32, '0').constData(), 64);
        AccountDialog dialog;
        dialog.Load(stored);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        Form form(dialog);
        QVERIFY(form.trustLabel->isVisible());
        QVERIFY(form.trustLabel->text().startsWith("Trusted certificate: SHA-256\nAA:AA:"));
        QVERIFY(form.trustLabel->text().endsWith(":00:00"));
        // A new user name keeps the certificate; Forget drops it.
        form.userEdit->setText("robert");
        form.okButton->click();
        QCOMPARE(QString(dialog.Values().trustedFingerprint), QString(stored.trustedFingerprint));
        form.forgetButton->click();
        QVERIFY(!form.trustLabel->isVisible() && !form.forgetButton->isVisible());
        form.okButton->click();
        QCOMPARE(QString(dialog.Values().trustedFingerprint), QString());

        AccountDialog fresh;
        fresh.show();
        QVERIFY(QTest::qWaitForWindowExposed(&fresh));
        QVERIFY(!Form(fresh).trustLabel->isVisible());
    }

    // Against a local HTTPS server made with the test authority.
    void lookupTakesOnlyAPop3ServerOverHttps() {
        QTemporaryDir dir;
        qvtest::TestCertificates certificates(dir.path().toStdString());
        QVERIFY(
            certificates.Make("web", "IP:127.0.0.1", qvtest::TestCertificates::Issuer::kTestCa));
        const QString root = dir.filePath("www");
        // corp.test: the first place redirects to plain http, the second holds an IMAP
        // and a POP3 server. imap.test: IMAP only. big.test: a reply past the bound.
        // oauth.test: POP3 with OAuth2 at a known provider's server.
        const QString trap = Pop3Config("trap.example", "SSL", 995, "%EMAILADDRESS%", "plain");
        QString big = Pop3Config("pop.big.test", "SSL", 995, "%EMAILADDRESS%", "plain");
        big.insert(big.indexOf("<clientConfig"), "<!--" + QString(70 * 1024, 'x') + "-->");
        QString imapOnly = trap;
        imapOnly.replace("type=\"pop3\"", "type=\"imap\"");
        QVERIFY(Write(root + "/corp.test/first.xml.redirect", "{http}/corp.test/trap.xml"));
        QVERIFY(Write(root + "/corp.test/trap.xml", trap.toUtf8()));
        QVERIFY(
            Write(root + "/corp.test/second.xml",
                  Pop3Config("pop.corp.test", "SSL", 995, "%EMAILLOCALPART%", "password-cleartext")
                      .toUtf8()));
        QVERIFY(Write(root + "/imap.test/first.xml", imapOnly.toUtf8()));
        QVERIFY(Write(root + "/big.test/first.xml", big.toUtf8()));
        QVERIFY(
            Write(root + "/oauth.test/first.xml",
                  Pop3Config("outlook.office365.com", "STARTTLS", 110, "%EMAILADDRESS%", "OAuth2")
                      .toUtf8()));

        QProcess server;
        server.start("python3", {QV_SOURCE_DIR "/tests/support/autoconfig_server.py",
                                 QString::fromStdString(certificates.CertFile("web")),
                                 QString::fromStdString(certificates.KeyFile("web")), root});
        QVERIFY(server.waitForStarted(10000));
        while (!server.canReadLine() && server.waitForReadyRead(10000)) {
        }
        const QStringList ports = QString::fromLatin1(server.readLine()).trimmed().split(' ');
        QVERIFY2(ports.size() == 2, server.readAllStandardError().constData());
        const QString origin = "https://127.0.0.1:" + ports[0].trimmed();
        AutoconfigOptions options;
        options.urlTemplates = {origin + "/%1/first.xml?emailaddress=%2", origin + "/%1/second.xml",
                                "http://127.0.0.1:" + ports[1].trimmed() + "/%1/trap.xml"};
        options.caCertificates =
            QSslCertificate::fromPath(QString::fromStdString(certificates.CaFile()));
        QVERIFY(!options.caCertificates.isEmpty());

        AutoconfigLookup lookup(options);
        std::vector<std::pair<QString, std::optional<MailSettings>>> answers;
        connect(&lookup, &AutoconfigLookup::finished, this,
                [&answers](const QString& domain, const std::optional<MailSettings>& settings) {
                    answers.emplace_back(domain, settings);
                });
        QVERIFY(!lookup.Start("me@not a host"));
        for (const char* address : {"jane@corp.test", "jane@imap.test", "jane@big.test"}) {
            answers.clear();
            QVERIFY(lookup.Start(address));
            QTRY_COMPARE_WITH_TIMEOUT(answers.size(), std::size_t{1}, 15000);
        }
        // A newer lookup replaces the one still running.
        QVERIFY(lookup.Start("jane@imap.test"));
        QVERIFY(lookup.Start("jane@corp.test"));
        answers.clear();
        QTRY_COMPARE_WITH_TIMEOUT(answers.size(), std::size_t{1}, 15000);
        QCOMPARE(answers[0].first, QString("corp.test"));
        QVERIFY(answers[0].second.has_value());
        QCOMPARE(answers[0].second->server, std::string("pop.corp.test"));
        QCOMPARE(answers[0].second->userName, std::string("%EMAILLOCALPART%"));

        // Through the dialog: once per domain, and only into fields left alone.
        AccountDialog dialog;
        dialog.SetAutoconfig(options, 0);
        Form form(dialog);
        form.passwordEdit->setText("never-sent");
        Type(form.emailEdit, "jane@oauth.test");
        QTRY_COMPARE_WITH_TIMEOUT(form.serverEdit->text(), QString("outlook.office365.com"), 15000);
        QCOMPARE(form.Settings(),
                 QString("outlook.office365.com 110 STARTTLS jane@oauth.test OAuth2"));
        form.serverEdit->setText("pop.mine.test");
        Type(form.emailEdit, "jane@corp.test");
        QTRY_COMPARE_WITH_TIMEOUT(form.userEdit->text(), QString("jane"), 15000);
        QCOMPARE(form.Settings(), QString("pop.mine.test 995 SSL/TLS jane POP3 Password"));
        Type(form.emailEdit, "jane@oauth.test");
        QCOMPARE(form.authCombo->currentText(), QString("OAuth2"));
        form.serverEdit->setText("outlook.office365.com");
        form.okButton->click();
        QCOMPARE(QString(dialog.Values().providerId), QString("microsoft"));

        QFile log(root + "/requests.log");
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString requests = QString::fromUtf8(log.readAll());
        server.kill();
        server.waitForFinished();
        QVERIFY2(!requests.contains("http /") && !requests.contains("never-sent") &&
                     !requests.contains("trap.xml"),
                 qPrintable(requests));
        QVERIFY(requests.contains("https /corp.test/first.xml?emailaddress=jane%40corp.test"));
        QCOMPARE(requests.count("/oauth.test/first.xml"), 1);
    }
};

QTEST_MAIN(AccountDialogTest)
#include "account_dialog_test.moc"
