#include "agent/config/Config.h"
#include "brimvault_agent/dialogs/About.h"
#include "brimvault_agent/dialogs/BrimvaultMessageDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QtTest>

#include "ui_message_dialog.h"

class TestAbout : public QObject
{
    Q_OBJECT
private slots:
    void contentAndSize()
    {
        Config c = Config::defaults();
        c.APPLICATION_TITLE =
            QStringLiteral("A rather long application title that is wider than the dialog");
        setConfig(c);
        About about;
        QCOMPARE(about.windowTitle(), QStringLiteral("About"));
        QCOMPARE(about.windowFlags() & ~Qt::WindowType_Mask,
                 Qt::WindowSystemMenuHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
        QVERIFY(!about.parentWidget());
        QCOMPARE(about.appl_name->text(), QStringLiteral("Name: ") + c.APPLICATION_TITLE);
        QCOMPARE(about.appl_version->text(), QStringLiteral("Version: ") + c.VERSION_DISPLAY);
        QCOMPARE(about.qt_version->text(), QStringLiteral("Qt version: " QT_VERSION_STR));
        QCOMPARE(about.bindings_version->text(),
                 QStringLiteral("Qt runtime: ") + QString::fromLatin1(qVersion()));
        QVERIFY(!about.image->pixmap(Qt::ReturnByValue).isNull()); // the shipped logo
        QVERIFY(about.image->minimumSize() == QSize(347, 51));
        // Order top to bottom.
        const QList<QWidget *> order{about.image,      about.appl_name,        about.appl_version,
                                     about.qt_version, about.bindings_version, about.buttonBox};
        for (int i = 0; i < order.size(); ++i)
            QCOMPARE(about.verticalLayout->itemAt(i)->widget(), order[i]);
        // Fixed at the size computed before the long title was filled in.
        QCOMPARE(about.minimumSize(), about.maximumSize());
        QVERIFY2(about.width() < about.appl_name->sizeHint().width(),
                 qPrintable(QStringLiteral("dialog %1, title %2")
                                .arg(about.width())
                                .arg(about.appl_name->sizeHint().width())));
        QVERIFY(!about.windowIcon().isNull());
        setConfig(Config::defaults());
    }

    void closeHidesAndShowsAgain()
    {
        About about;
        about.show();
        QVERIFY(about.isVisible());
        about.buttonBox->button(QDialogButtonBox::Close)->click();
        QVERIFY(!about.isVisible());
        const QString before = about.appl_name->text();
        about.show();
        QCOMPARE(about.appl_name->text(), before);
        about.closeDialog();
        QVERIFY(!about.isVisible());
    }

    void missingLogoKeepsThePlace()
    {
        Config c = Config::defaults();
        c.QT5_LOGO_FILE = QStringLiteral("no-such-logo");
        setConfig(c);
        About about;
        QVERIFY(about.image->pixmap(Qt::ReturnByValue).isNull());
        QVERIFY(about.image->minimumSize() == QSize(347, 51));
        setConfig(Config::defaults());
    }
};

class TestMessageDialog : public QObject
{
    Q_OBJECT
private slots:
    void replacesInPlace()
    {
        BrimvaultMessageDialog dialog;
        QVERIFY(!dialog.isVisible());
        dialog.closeDialog(); // hidden already: no effect
        dialog.displayMessage(QString());
        QVERIFY(dialog.isVisible());
        QCOMPARE(dialog.ui->message->text(), QString());
        dialog.displayMessage(QStringLiteral("first"));
        dialog.displayMessage(QStringLiteral("<b>second</b>"));
        QCOMPARE(dialog.ui->message->text(), QStringLiteral("<b>second</b>"));
        QCOMPARE(dialog.ui->message->textFormat(), Qt::PlainText); // service text is never markup
        dialog.ui->buttonBox->button(QDialogButtonBox::Close)->click();
        QVERIFY(!dialog.isVisible());
        dialog.displayMessage(QStringLiteral("again"));
        QVERIFY(dialog.isVisible());
    }
};

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    int status = 0;
    TestAbout about;
    status |= QTest::qExec(&about, argc, argv);
    TestMessageDialog message;
    status |= QTest::qExec(&message, argc, argv);
    return status;
}
#include "tst_dialogs.moc"
