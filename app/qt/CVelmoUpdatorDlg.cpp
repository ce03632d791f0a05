#include "CVelmoUpdatorDlg.h"

#include <string>
#include <vector>

#include <QComboBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>

#include "AppIcon.h"
#include "CAboutDlg.h"
#include "DialogTemplate.h"
#include "IconPlacement.h"
#include "StringTable.h"
#include "UiRequestPath.h"

void ShowStopMessageBox(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

CVelmoUpdatorDlg::CVelmoUpdatorDlg(UpdatorDialogServices services)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      CUpdatorController(UiRequestPath::Open(this)->Queue(), services),
      m_messageBox(services.messageBox ? services.messageBox : ShowStopMessageBox) {
    setModal(true);
    if (const std::optional<DialogTemplate> tpl = LoadDialogTemplate(103)) {
        setFont(DialogFont(*tpl));
        const BuiltDialog built = BuildDialog(this, *tpl, BaseUnitsOf(font()), QIcon());
        m_controls = built.byId;
    }
    DoDataExchange();
    m_hIcon = LoadAppIcon();

    // Control 1 replaces the dialog's usual OK handling: it starts an update and never closes the
    // window. Control 2 ("Exit") cancels, as Escape and the close box do.
    if (m_executeButton != nullptr) {
        connect(m_executeButton, &QPushButton::clicked, this, [this] { OnExecute(); });
    }
    if (auto* exitButton = qobject_cast<QPushButton*>(Control(2))) {
        connect(exitButton, &QPushButton::clicked, this, &QDialog::reject);
    }
    if (m_rescanButton != nullptr) {
        connect(m_rescanButton, &QPushButton::clicked, this, [this] { OnRescanDevice(); });
    }
    if (m_midiOutCombo != nullptr) {
        connect(m_midiOutCombo, &QComboBox::currentIndexChanged, this, [this] { OnMidiOutSelChange(); });
    }
}

CVelmoUpdatorDlg::~CVelmoUpdatorDlg() {
    OnDestroy();
    // The controls outlive the controller (they go with the dialog base): none may reach it then.
    if (m_midiOutCombo != nullptr) m_midiOutCombo->disconnect(this);
}

void CVelmoUpdatorDlg::DoDataExchange() {
    m_midiInCombo = qobject_cast<QComboBox*>(Control(1000));
    m_midiOutCombo = qobject_cast<QComboBox*>(Control(1001));
    m_progress = qobject_cast<QProgressBar*>(Control(1002));
    m_executeButton = qobject_cast<QPushButton*>(Control(1));
    m_statusEdit = qobject_cast<QLineEdit*>(Control(1003));
    m_rescanButton = qobject_cast<QPushButton*>(Control(1004));
    m_picture = qobject_cast<QLabel*>(Control(1005));
}

QWidget* CVelmoUpdatorDlg::Control(int id) const {
    return m_controls.value(id, nullptr);
}

bool CVelmoUpdatorDlg::OnInitDialog() {
    AddAboutEntry();
    setWindowIcon(m_hIcon);
    CUpdatorController::OnInitDialog();
    if (m_executeButton != nullptr) m_executeButton->setFocus();
    return true;
}

void CVelmoUpdatorDlg::showEvent(QShowEvent* event) {
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void CVelmoUpdatorDlg::AddAboutEntry() {
    // X11 and Wayland give a program no access to the title bar's menu, so the window menu is a
    // context menu of the window: Close, then the About entry. The dialog has no minimise box, so
    // the menu offers no "Minimize" either.
    m_systemMenu = new QMenu(this);
    const auto addCommand = [this](const QString& text, unsigned id) {
        QAction* action = m_systemMenu->addAction(text);
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { OnSysCommand(id, 0); });
    };
    addCommand(tr("&Close"), SYSCMD_CLOSE);

    const char* about = Services().loadString(IDS_ABOUTBOX);
    if (about == nullptr || about[0] == '\0') return;
    m_systemMenu->addSeparator();
    addCommand(QString::fromUtf8(about), CMD_ABOUT);
}

void CVelmoUpdatorDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (m_systemMenu != nullptr) m_systemMenu->exec(event->globalPos());
}

void CVelmoUpdatorDlg::OnSysCommand(unsigned id, qintptr extra) {
    if ((id & SYSCMD_MASK) == CMD_ABOUT) {
        CAboutDlg about(this);
        about.exec();
        return;
    }
    DefaultSysCommand(id, extra);
}

void CVelmoUpdatorDlg::DefaultSysCommand(unsigned id, qintptr /*extra*/) {
    switch (id & SYSCMD_MASK) {
        case SYSCMD_CLOSE: close(); break;
        case SYSCMD_MINIMIZE: showMinimized(); break;
        case SYSCMD_RESTORE: showNormal(); break;
        default: break;
    }
}

QComboBox* CVelmoUpdatorDlg::DeviceCombo(DeviceList list) const {
    return list == DeviceList::MidiIn ? m_midiInCombo : m_midiOutCombo;
}

void CVelmoUpdatorDlg::FillDeviceList(DeviceList list, const std::vector<std::string>& names,
                                      int selection) {
    QComboBox* combo = DeviceCombo(list);
    combo->clear();
    for (const std::string& name : names) combo->addItem(QString::fromUtf8(name.c_str()));
    // Adding the first entry selects it; the given selection (or none) replaces that.
    combo->setCurrentIndex(selection);
}

int CVelmoUpdatorDlg::DeviceListSelection(DeviceList list) const {
    return DeviceCombo(list)->currentIndex();
}

void CVelmoUpdatorDlg::SetTitle(const std::string& title) {
    setWindowTitle(QString::fromUtf8(title.c_str()));
}

void CVelmoUpdatorDlg::SetStatusText(const std::string& text) {
    m_statusEdit->setText(QString::fromUtf8(text.c_str()));
}

void CVelmoUpdatorDlg::SetProgressRange(int maximum) {
    m_progress->setRange(0, maximum);
}

void CVelmoUpdatorDlg::SetProgressPos(int position) {
    m_progress->setValue(position);
}

void CVelmoUpdatorDlg::EnableControl(HostControl control, bool enable) {
    QWidget* widget = Control(ControlIdOf(control));
    if (widget == nullptr) return;
    if (!enable && widget->hasFocus()) {
        // Qt would hand the focus on to the next tab stop, "Exit" while a run locks the controls,
        // and that push button would then take Enter and close the window. The dialog keeps the
        // focus instead, so Enter stays with the default button, "Execute", which is disabled.
        setFocus(Qt::OtherFocusReason);
    }
    widget->setEnabled(enable);
}

void CVelmoUpdatorDlg::done(int result) {
    QDialog::done(result);
    OnDestroy();
}

void CVelmoUpdatorDlg::ShowErrorBox(const std::string& caption, const std::string& text) {
    m_messageBox(this, QString::fromUtf8(caption.c_str()), QString::fromUtf8(text.c_str()));
}

void CVelmoUpdatorDlg::paintEvent(QPaintEvent* event) {
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        return;
    }
    // Minimised: erase the background and draw the icon centred in the client area.
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const int iconSize = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    const IconOrigin origin = CenteredIconOrigin(width(), height(), iconSize, iconSize);
    m_hIcon.paint(&painter, origin.x, origin.y, iconSize, iconSize);
}
