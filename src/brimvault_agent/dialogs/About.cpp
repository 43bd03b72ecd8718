#include "About.h"

#include "brimvault_agent/app/icontheme.h"

#include "agent/config/Config.h"
#include "brimvault_agent/app/translate.h"

#include <QDialogButtonBox>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>
#include <QtGlobal>

About::About(QWidget *) : QDialog(nullptr)
{
    const Config &cfg = config();
    setWindowFlags(Qt::WindowSystemMenuHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setWindowTitle(translate("appl_about", "About"));

    verticalLayout = new QVBoxLayout(this);

    image = new QLabel;
    image->setAlignment(Qt::AlignCenter);
    image->setMinimumSize(347, 51);
    image->setAutoFillBackground(true);

    appl_name = new QLabel(translate("appl_about", "Name"));
    appl_name->setAlignment(Qt::AlignCenter);
    appl_version = new QLabel(translate("appl_about", "Version"));
    appl_version->setAlignment(Qt::AlignCenter);
    qt_version = new QLabel(QStringLiteral("Qt version: %1").arg(QStringLiteral(QT_VERSION_STR)));
    qt_version->setAlignment(Qt::AlignCenter);
    // No separate binding layer here: the second line names the Qt library actually loaded,
    // which may be newer than the one built against.
    bindings_version =
        new QLabel(QStringLiteral("Qt runtime: %1").arg(QString::fromLatin1(qVersion())));
    bindings_version->setAlignment(Qt::AlignCenter);

    buttonBox = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::close);

    verticalLayout->addWidget(image);
    verticalLayout->addWidget(appl_name);
    verticalLayout->addWidget(appl_version);
    verticalLayout->addWidget(qt_version);
    verticalLayout->addWidget(bindings_version);
    verticalLayout->addWidget(buttonBox);

    installIconTheme();
    setWindowIcon(QIcon::fromTheme(cfg.QT5_ICON_FILE));
    // At the logo's own size, which the label's minimum is: before layout the label has Qt's
    // default size, 640 x 480, and from Qt 6.11 on a theme icon's pixmap is scaled up to the size
    // asked for, which made the dialog 662 pixels wide.
    const QIcon logo = QIcon::fromTheme(cfg.QT5_LOGO_FILE);
    image->setPixmap(logo.pixmap(image->minimumSize()));

    setFixedSize(sizeHint());

    appl_name->setText(QStringLiteral("%1: %2").arg(appl_name->text(), cfg.APPLICATION_TITLE));
    appl_version->setText(QStringLiteral("%1: %2").arg(appl_version->text(), cfg.VERSION_DISPLAY));
}

void About::closeDialog()
{
    hide();
}
