#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class BrimvaultMessageDialog;
}

// A small non-modal dialog that shows one message; a new message replaces the text in place.
class BrimvaultMessageDialog : public QDialog
{
    Q_OBJECT
public:
    explicit BrimvaultMessageDialog(QWidget *parent = nullptr);
    ~BrimvaultMessageDialog() override;

public slots:
    void displayMessage(const QString &message);
    void closeDialog();

private:
    friend class TestMessageDialog;
    std::unique_ptr<Ui::BrimvaultMessageDialog> ui;
};
