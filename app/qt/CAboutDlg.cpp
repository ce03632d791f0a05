#include "CAboutDlg.h"

#include <QLineEdit>
#include <QPushButton>

#include "AppIcon.h"
#include "DialogTemplate.h"
#include "InstanceMarker.h"

CAboutDlg::CAboutDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint) {
    setModal(true);
    const std::optional<DialogTemplate> tpl = LoadDialogTemplate(100);
    if (!tpl) return;
    setFont(DialogFont(*tpl));
    const BuiltDialog built = BuildDialog(this, *tpl, BaseUnitsOf(font()), LoadAppIcon());
    m_versionEdit = qobject_cast<QLineEdit*>(built.byId.value(1003));
    if (auto* ok = qobject_cast<QPushButton*>(built.byId.value(1))) {
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
}

bool CAboutDlg::OnInitDialog() {
    // Always the plain name: the box never shows the instance number of the window's title.
    if (m_versionEdit != nullptr) m_versionEdit->setText(QString::fromStdString(InstanceMarkerName(1)));
    if (auto* ok = findChild<QPushButton*>()) ok->setFocus();
    return true;
}

void CAboutDlg::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}
