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

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include "AppIcon.h"
#include "CAboutDlg.h"
#include "CVelmoUpdatorApp.h"
#include "DeviceNames.h"
#include "DialogTemplate.h"
#include "EngineTexts.h"
#include "FirmwareImage.h"
#include "IconPlacement.h"
#include "InstanceMarker.h"
#include "StringTable.h"
#include "UiRequestPath.h"
#include "UpdateEngine.h"

namespace {

std::shared_ptr<CUpdateEngine> CreateProductEngine(std::shared_ptr<IUpdateHost> host) {
    return std::make_shared<CUpdateEngine>(std::move(host), EnginePlatform::Default());
}

int ApplicationInstanceNumber() {
    const CVelmoUpdatorApp* app = CVelmoUpdatorApp::Current();
    return app != nullptr && app->GetInstanceNumber() > 0 ? app->GetInstanceNumber() : 1;
}

}  // namespace

void ShowStopMessageBox(QWidget* owner, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

// The engine's view of the window. Every request goes through the window's request path, so it
// runs on the UI thread, in order, and fails at once after OnDestroy. The dialog pointer is used
// only inside requests, which run only while the window exists.
class CVelmoUpdatorDlg::WindowHost final : public IUpdateHost {
public:
    WindowHost(std::shared_ptr<UiRequestPath> requests, CVelmoUpdatorDlg* dialog)
        : m_requests(std::move(requests)), m_dialog(dialog) {}

    bool ShowStatus(const RunStatus& status) override {
        return Do([&] {
            const std::string text = StatusText(status, m_dialog->m_services.loadString);
            m_dialog->m_statusEdit->setText(QString::fromUtf8(text.c_str()));
        });
    }
    bool SetProgressPos(int position) override {
        return Do([&] { m_dialog->m_progress->setValue(position); });
    }
    bool EnableControl(HostControl control, bool enable) override {
        return Do([&] { m_dialog->SetControlEnabled(m_dialog->HostControlWidget(control), enable); });
    }
    bool ShowError(EngineError error) override {
        return Do([&] {
            const std::string text = ErrorText(error, m_dialog->m_services.loadString);
            m_dialog->ShowErrorBox(QString::fromUtf8(text.c_str()));
        });
    }

private:
    bool Do(const std::function<void()>& request) {
        return m_requests->Run(request) == UiRequestPath::Outcome::Ran;
    }

    std::shared_ptr<UiRequestPath> m_requests;
    CVelmoUpdatorDlg* m_dialog;
};

CVelmoUpdatorDlg::CVelmoUpdatorDlg(UpdatorDialogServices services)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_services(std::move(services)) {
    if (!m_services.instanceNumber) m_services.instanceNumber = ApplicationInstanceNumber;
    if (!m_services.loadString) m_services.loadString = LoadStringById;
    if (!m_services.messageBox) m_services.messageBox = ShowStopMessageBox;
    if (!m_services.createEngine) m_services.createEngine = CreateProductEngine;

    setModal(true);
    if (const std::optional<DialogTemplate> tpl = LoadDialogTemplate(103)) {
        setFont(DialogFont(*tpl));
        const BuiltDialog built = BuildDialog(this, *tpl, BaseUnitsOf(font()), QIcon());
        m_controls = built.byId;
    }
    DoDataExchange();

    m_hIcon = LoadAppIcon();
    m_requests = UiRequestPath::Open(this);
    m_host = std::make_shared<WindowHost>(m_requests, this);
    m_engine = m_services.createEngine(m_host);

    // Control 1 replaces the dialog's usual OK handling: it starts an update and never closes the
    // window. Control 2 ("Exit") cancels, as Escape and the close box do.
    if (m_executeButton != nullptr) {
        connect(m_executeButton, &QPushButton::clicked, this, &CVelmoUpdatorDlg::OnExecute);
    }
    if (auto* exitButton = qobject_cast<QPushButton*>(Control(2))) {
        connect(exitButton, &QPushButton::clicked, this, &QDialog::reject);
    }
    if (m_rescanButton != nullptr) {
        connect(m_rescanButton, &QPushButton::clicked, this, &CVelmoUpdatorDlg::OnRescanDevice);
    }
    // Every message goes to the device selected when it is sent: the engine hears of every change.
    if (m_midiOutCombo != nullptr) {
        connect(m_midiOutCombo, &QComboBox::currentIndexChanged, this,
                [this](int index) {
                    if (m_engine) m_engine->SelectMidiOut(index);
                });
    }
}

CVelmoUpdatorDlg::~CVelmoUpdatorDlg() {
    OnDestroy();
    // The timer goes first, so that no dispatcher run starts after this and a running one has
    // finished; requests of a tick fail at once now, so this wait cannot block on the UI thread.
    if (m_engine) m_engine->ReleaseTimer();
    // A run's worker holds its own share of the engine until it has ended.
    m_engine.reset();
    m_host.reset();
    m_requests.reset();
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

std::shared_ptr<IUpdateHost> CVelmoUpdatorDlg::Host() const {
    return m_host;
}

QWidget* CVelmoUpdatorDlg::HostControlWidget(HostControl control) const {
    switch (control) {
        case HostControl::MidiInList: return m_midiInCombo;
        case HostControl::MidiOutList: return m_midiOutCombo;
        case HostControl::Execute: return m_executeButton;
        case HostControl::Rescan: return m_rescanButton;
    }
    return nullptr;
}

bool CVelmoUpdatorDlg::OnInitDialog() {
    AddAboutEntry();
    setWindowIcon(m_hIcon);
    // The firmware image: the engine took the linked image's address when it was constructed.
    ScanDevices();
    m_engine->StartPollTimer();
    m_progress->setRange(0, IMAGE_SIZE);
    m_progress->setValue(0);
    setWindowTitle(QString::fromStdString(InstanceMarkerName(m_services.instanceNumber())));
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
#ifdef Q_OS_WIN
    // Windows: the entry goes at the end of the window's real system menu.
    HMENU menu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
    if (menu == nullptr) return;
    const char* text = m_services.loadString(IDS_ABOUTBOX);
    if (text == nullptr || text[0] == '\0') return;
    const std::wstring wide = QString::fromUtf8(text).toStdWString();
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, CMD_ABOUT, wide.c_str());
#else
    // X11 and Wayland give a program no access to the title bar's menu, so the window menu is a
    // context menu of the window: Minimize, Close, then the About entry.
    m_systemMenu = new QMenu(this);
    const auto addCommand = [this](const QString& text, unsigned id) {
        QAction* action = m_systemMenu->addAction(text);
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { OnSysCommand(id, 0); });
    };
    addCommand(tr("Mi&nimize"), SYSCMD_MINIMIZE);
    addCommand(tr("&Close"), SYSCMD_CLOSE);

    const char* about = m_services.loadString(IDS_ABOUTBOX);
    if (about == nullptr || about[0] == '\0') return;
    m_systemMenu->addSeparator();
    addCommand(QString::fromUtf8(about), CMD_ABOUT);
#endif
}

void CVelmoUpdatorDlg::contextMenuEvent(QContextMenuEvent* event) {
    if (m_systemMenu != nullptr) m_systemMenu->exec(event->globalPos());
}

#ifdef Q_OS_WIN
bool CVelmoUpdatorDlg::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message == WM_SYSCOMMAND && (msg->wParam & SYSCMD_MASK) == CMD_ABOUT) {
        OnSysCommand(static_cast<unsigned>(msg->wParam), static_cast<qintptr>(msg->lParam));
        *result = 0;
        return true;
    }
    return QDialog::nativeEvent(eventType, message, result);  // the system's own handling
}
#endif

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

void CVelmoUpdatorDlg::SetControlEnabled(QWidget* control, bool enable) {
    if (control == nullptr) return;
    if (!enable && control->hasFocus()) {
        // Qt would hand the focus on to the next tab stop, "Exit" while a run locks the controls,
        // and that push button would then take Enter and close the window. The dialog keeps the
        // focus instead, so Enter stays with the default button, "Execute", which is disabled.
        setFocus(Qt::OtherFocusReason);
    }
    control->setEnabled(enable);
}

void CVelmoUpdatorDlg::OnExecute() {
    if (m_destroyed) return;
    m_engine->OnExecute(m_midiInCombo->currentIndex());
}

void CVelmoUpdatorDlg::OnRescanDevice() {
    ScanDevices();
    m_engine->EnableExecute(true);
}

void CVelmoUpdatorDlg::ScanDevices() {
    const int instance = m_services.instanceNumber();
    const auto fill = [instance](QComboBox* combo, const std::vector<std::string>& names) {
        combo->clear();
        for (const std::string& name : names) combo->addItem(QString::fromUtf8(name.c_str()));
        // Adding the first entry selects it; the default match (or no selection) replaces that.
        combo->setCurrentIndex(SelectDefaultDevice(names, instance));
    };
    fill(m_midiOutCombo, m_engine->MidiOutDeviceNames());
    fill(m_midiInCombo, m_engine->MidiInDeviceNames());
    // setCurrentIndex reports no change when the position stays the same across a rescan.
    m_engine->SelectMidiOut(m_midiOutCombo->currentIndex());
}

void CVelmoUpdatorDlg::OnDestroy() {
    if (m_destroyed) return;
    m_destroyed = true;
    // First no request of the worker or the timer waits any more, then the run is told to end.
    m_requests->Close();
    if (m_engine) m_engine->OnWindowClosing();
}

void CVelmoUpdatorDlg::done(int result) {
    QDialog::done(result);
    OnDestroy();
}

void CVelmoUpdatorDlg::ShowErrorBox(const QString& text) {
    const char* caption = m_services.loadString(IDS_ERROR_CAPTION);
    m_services.messageBox(this, QString::fromUtf8(caption != nullptr ? caption : ""), text);
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
