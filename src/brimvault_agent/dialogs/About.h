#pragma once

// dialogs/ holds the agent's two dialogs, About and the message dialog.

#include <QDialog>

class QDialogButtonBox;
class QLabel;
class QVBoxLayout;

// The About dialog: logo, application title, version, Qt versions and a Close button. Built
// completely once; hidden, not destroyed, when closed.
class About : public QDialog
{
    Q_OBJECT
public:
    // `parent` is accepted but not used: the dialog is always a top-level window.
    explicit About(QWidget *parent = nullptr);

public slots:
    void closeDialog();

private:
    friend class TestAbout;

    QVBoxLayout *verticalLayout;
    QLabel *image;
    QLabel *appl_name;
    QLabel *appl_version;
    QLabel *qt_version;
    QLabel *bindings_version;
    QDialogButtonBox *buttonBox;
};
