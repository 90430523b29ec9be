#include <QCursor>
#include <QLabel>
#include <QtTest>

#include "gui_test_support.h"
#include "ui/hyper_link_static.h"
#include "ui/page_options.h"

class HyperLinkStaticTest : public QObject {
    Q_OBJECT

  private:
    guitest::MessageLog log_;

  private slots:
    void init() { log_.texts.clear(); }

    void tooltipPrefixes() {
        QCOMPARE(HyperLinkStatic::TooltipFor("http://www.example.com/a", true),
                 QString("Go to www.example.com/a"));
        QCOMPARE(HyperLinkStatic::TooltipFor("HTTP://www.example.com/", true),
                 QString("Go to www.example.com/"));
        QCOMPARE(HyperLinkStatic::TooltipFor("HTTPS://www.example.com/", true),
                 QString("HTTPS://www.example.com/"));
        QCOMPARE(HyperLinkStatic::TooltipFor("MAILTO:someone@example.com", true),
                 QString("E-mail someone@example.com"));
        QCOMPARE(HyperLinkStatic::TooltipFor("ftp://files.example.com", true),
                 QString("ftp://files.example.com"));
        QCOMPARE(HyperLinkStatic::TooltipFor("http://www.example.com", false),
                 QString("http://www.example.com"));
    }

    void bareHostBecomesWebAddress() {
        QWidget parent;
        HyperLinkStatic link(&parent);
        link.setText("WWW.example.org");
        link.Attach();
        QCOMPARE(link.Target(), QString("http://WWW.example.org"));
        QCOMPARE(link.toolTip(), QString("Go to WWW.example.org"));
        QCOMPARE(link.text(), QString("WWW.example.org"));
    }

    void emptyTextShowsTarget() {
        QWidget parent;
        HyperLinkStatic link(&parent);
        link.SetTarget("mailto:feedback@example.com");
        link.Attach();
        QCOMPARE(link.text(), QString("mailto:feedback@example.com"));
        QCOMPARE(link.toolTip(), QString("E-mail feedback@example.com"));
        link.SetTarget("http://www.example.net");
        QCOMPARE(link.toolTip(), QString("Go to www.example.net"));
    }

    void failureMessages() {
        QCOMPARE(HyperLinkStatic::FailureMessage(26),
                 QString("Unable to open hyperlink:\n\nA sharing violation occurred. "));
        QCOMPARE(HyperLinkStatic::FailureMessage(42),
                 QString("Unable to open hyperlink:\n\nUnknown Error (42) occurred."));
        QCOMPARE(HyperLinkStatic::FailureMessage(0),
                 QString("Unable to open hyperlink:\n\nThe operating system is out\nof memory "
                         "or resources."));
        QCOMPARE(HyperLinkStatic::FailureMessage(31),
                 QString("Unable to open hyperlink:\n\nThere is no application associated\nwith "
                         "the given filename extension."));
    }

    void failedOpenReportsAndStaysUnvisited() {
        QWidget parent;
        HyperLinkStatic link(&parent);
        link.setText("http://www.example.com");
        link.Attach();
        QStringList opened;
        link.SetOpener([&opened](const QString& target) {
            opened << target;
            return 26;
        });
        link.Click();
        QCOMPARE(opened, QStringList{"http://www.example.com"});
        QCOMPARE(log_.texts, QStringList{HyperLinkStatic::FailureMessage(26)});
        QVERIFY(!link.Visited());
        QCOMPARE(link.TextColour(), QColor(0, 0, 238));

        // Results up to 32 are failures; those without a text of their own are unknown.
        link.SetOpener([](const QString&) { return 7; });
        link.Click();
        QCOMPARE(log_.texts.last(),
                 QString("Unable to open hyperlink:\n\nUnknown Error (7) occurred."));
        link.ReportFailure(42);
        QCOMPARE(log_.texts.last(),
                 QString("Unable to open hyperlink:\n\nUnknown Error (42) occurred."));
        QCOMPARE(log_.texts.size(), 3);
        QVERIFY(!link.Visited());
    }

    void successfulOpenMarksVisited() {
        QWidget parent;
        HyperLinkStatic link(&parent);
        link.setText("http://www.example.com");
        link.Attach();
        link.SetOpener([](const QString&) { return 33; });
        parent.show();
        QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(2, 2));
        QVERIFY(link.Visited());
        QVERIFY(log_.texts.isEmpty());
        QCOMPARE(link.TextColour(), QColor(85, 26, 139));
        QCOMPARE(link.palette().color(QPalette::WindowText), QColor(85, 26, 139));
    }

    void hoverUnderlinesOnlyWhileOverInDefaultMode() {
        QWidget parent;
        parent.resize(400, 200);
        HyperLinkStatic link(&parent);
        link.setText("http://www.example.com");
        link.move(10, 10);
        link.Attach();
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        QVERIFY(!link.font().underline());

        QCursor::setPos(link.mapToGlobal(QPoint(2, 2)));
        QTest::mouseMove(&link, QPoint(2, 2));
        QVERIFY(link.Hovering());
        QVERIFY(link.font().underline());
        QCOMPARE(link.TextColour(), QColor(255, 0, 0));

        QCursor::setPos(parent.mapToGlobal(QPoint(390, 190)));
        QTRY_VERIFY_WITH_TIMEOUT(!link.Hovering(), 2000);
        QVERIFY(!link.font().underline());
        QCOMPARE(link.TextColour(), QColor(0, 0, 238));
    }

    void optionsPageLinkStaysUnderlined() {
        CPageOptions page;
        page.resize(400, 260);
        page.show();
        QVERIFY(QTest::qWaitForWindowExposed(&page));
        HyperLinkStatic* link = page.Link();
        QCOMPARE(link->Target(), QString("https://www.example.com/quorvane"));
        QCOMPARE(link->toolTip(), QString("https://www.example.com/quorvane"));
        QCOMPARE(link->Underline(), HyperLinkStatic::kUnderlineAlways);
        QVERIFY(link->font().underline());
        QVERIFY(link->cursor().shape() == Qt::PointingHandCursor);

        QCursor::setPos(link->mapToGlobal(QPoint(2, 2)));
        QTest::mouseMove(link, QPoint(2, 2));
        QVERIFY(link->Hovering());
        QCursor::setPos(page.mapToGlobal(QPoint(395, 255)));
        QTRY_VERIFY_WITH_TIMEOUT(!link->Hovering(), 2000);
        QVERIFY(link->font().underline());

        // The product line names the version; the terms name the feedback address.
        const QList<QLabel*> labels = page.findChildren<QLabel*>();
        QString all;
        for (const QLabel* label : labels) {
            all += label->text() + '\n';
        }
        QVERIFY(all.contains("Quorvane version 0.1"));
        QVERIFY(all.contains("feedback@example.com"));
    }
};

QTEST_MAIN(HyperLinkStaticTest)
#include "hyper_link_static_test.moc"
