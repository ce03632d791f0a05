// The main window: device lists, "Execute", "Rescan Device", "Exit", the status line and the
// progress bar, built from dialog template 103. It owns the update engine (ports, timer, reply
// event, the run) and serves the engine's requests to its controls through IUpdateHost.
//
// Threads: every member function runs on the UI thread. The engine's worker and timer threads reach
// the controls only through the host (Host()), whose requests are carried out on the UI thread in
// the order made and fail at once once the window is destroyed (OnDestroy). The UI thread never
// waits for those threads while the window exists; the timer is stopped only after OnDestroy, when
// requests no longer wait.
#pragma once

#include <functional>
#include <memory>

#include <QDialog>
#include <QIcon>

#include "EngineTexts.h"
#include "UpdateHost.h"

class CUpdateEngine;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class UiRequestPath;

// Window-menu command of the About entry. Its low four bits are zero: the window system uses those
// bits, so commands are compared with them cleared.
inline constexpr unsigned CMD_ABOUT = 0x10;
inline constexpr unsigned SYSCMD_MASK = 0xFFF0;
inline constexpr unsigned SYSCMD_MINIMIZE = 0xF020;
inline constexpr unsigned SYSCMD_CLOSE = 0xF060;
inline constexpr unsigned SYSCMD_RESTORE = 0xF120;

// Shows a modal message box owned by `owner` and returns when it has been dismissed.
using MessageBoxFunction =
    std::function<void(QWidget* owner, const QString& caption, const QString& text)>;
// The product's error box: stop icon, one OK button.
void ShowStopMessageBox(QWidget* owner, const QString& caption, const QString& text);

// What the window takes from its surroundings. An empty entry takes the product's default.
struct UpdatorDialogServices {
    // Default: the application object's instance number (1 without one).
    std::function<int()> instanceNumber;
    // Default: LoadStringById.
    StringLoader loadString;
    // Default: ShowStopMessageBox.
    MessageBoxFunction messageBox;
    // Default: an engine on the platform's MIDI system and timer, with the product's timings.
    std::function<std::shared_ptr<CUpdateEngine>(std::shared_ptr<IUpdateHost>)> createEngine;
};

class CVelmoUpdatorDlg : public QDialog {
    Q_OBJECT

public:
    explicit CVelmoUpdatorDlg(UpdatorDialogServices services = {});
    // Releases in this order: the timer (a running tick finishes), then the engine's share of the
    // rest; the controls go with the dialog base.
    ~CVelmoUpdatorDlg() override;

    // Runs once, when the window is first shown: About entry, icons, image, device scan, timer,
    // progress range, title.
    bool OnInitDialog();
    // Window-menu commands: CMD_ABOUT (any of 0x10..0x1F) opens the About box; any other goes to the
    // default handling (close, minimise, restore).
    void OnSysCommand(unsigned id, qintptr extra);
    void OnExecute();
    void OnRescanDevice();
    // Refills both lists in device order and selects the default devices of this instance.
    void ScanDevices();
    // The window is going away: no more requests are served, the engine is told (MIDI input
    // stopped, the run woken with "closing"). Runs once; done() and the destructor call it.
    void OnDestroy();
    // The icon the system uses while the minimised window is dragged.
    QIcon OnQueryDragIcon() const { return m_hIcon; }

    // The window menu's entries (the title bar's menu on systems that offer it to the program; a
    // context menu of the window elsewhere).
    QMenu* SystemMenu() const { return m_systemMenu; }
    CUpdateEngine* Engine() const { return m_engine.get(); }
    // The engine's view of this window.
    std::shared_ptr<IUpdateHost> Host() const;
    QWidget* Control(int id) const;
    bool IsDestroyed() const { return m_destroyed; }

    void done(int result) override;

    // Control members, bound to the template's controls.
    QComboBox* m_midiInCombo = nullptr;     // 1000
    QComboBox* m_midiOutCombo = nullptr;    // 1001
    QProgressBar* m_progress = nullptr;     // 1002
    QPushButton* m_executeButton = nullptr; // 1 (IDOK)
    QLineEdit* m_statusEdit = nullptr;      // 1003
    QPushButton* m_rescanButton = nullptr;  // 1004
    QLabel* m_picture = nullptr;            // 1005

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
#ifdef Q_OS_WIN
    // WM_SYSCOMMAND of the real window menu: the About entry goes to OnSysCommand.
    bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

private:
    class WindowHost;

    void DoDataExchange();
    void AddAboutEntry();
    void DefaultSysCommand(unsigned id, qintptr extra);
    void ShowErrorBox(const QString& text);
    QWidget* HostControlWidget(HostControl control) const;
    void SetControlEnabled(QWidget* control, bool enable);

    UpdatorDialogServices m_services;
    QIcon m_hIcon;
    QHash<int, QWidget*> m_controls;
    QMenu* m_systemMenu = nullptr;
    std::shared_ptr<UiRequestPath> m_requests;
    std::shared_ptr<WindowHost> m_host;
    std::shared_ptr<CUpdateEngine> m_engine;
    bool m_initialised = false;
    bool m_destroyed = false;
};
