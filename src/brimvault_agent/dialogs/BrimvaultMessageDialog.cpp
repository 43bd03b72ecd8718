#include "BrimvaultMessageDialog.h"

#include "ui_message_dialog.h"

BrimvaultMessageDialog::BrimvaultMessageDialog(QWidget *parent)
    : QDialog(parent), ui(std::make_unique<Ui::BrimvaultMessageDialog>())
{
    ui->setupUi(this);
}

BrimvaultMessageDialog::~BrimvaultMessageDialog() = default;

void BrimvaultMessageDialog::displayMessage(const QString &message)
{
    ui->message->setText(message);
    show();
}

void BrimvaultMessageDialog::closeDialog()
{
    hide();
}
