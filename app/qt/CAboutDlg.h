// The About box (dialog template 100): the icon, the program's name and version in a read-only
// field, a notice line and "OK". Modal; Enter and "OK" close it as accepted, Escape and the close
// box as cancelled. The main window keeps serving an update that runs while it is open.
#pragma once

#include <QDialog>

class QLineEdit;

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    // `owner`: the main window, which the box stays above.
    explicit CAboutDlg(QWidget* owner = nullptr);

    // Runs once when the box is first shown; puts the name into m_versionEdit.
    bool OnInitDialog();

    QLineEdit* m_versionEdit = nullptr;  // control 1003

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool m_initialised = false;
};
