// The main window: device lists, "Execute", "Rescan Device", "Exit", the status line and the
// progress bar, built from dialog template 103. What it does is CUpdatorController's (the shared
// controller of every window); this class adds the Qt widgets, the window menu with the About entry,
// the icon and the painting of the minimised window.
//
// Threads: every member function runs on the UI thread. The engine's worker and timer threads reach
// the controls only through the controller's host, whose requests reach this thread through a
// UiRequestPath (see CUpdatorController.h).
#pragma once

#include <functional>
#include <memory>

#include <QDialog>
#include <QIcon>

#include "CUpdatorController.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;

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

// What the window takes from its surroundings: the controller's services and the error box. An
// empty entry takes the product's default.
struct UpdatorDialogServices : UpdatorServices {
    // Default: ShowStopMessageBox.
    MessageBoxFunction messageBox;
};

class CVelmoUpdatorDlg : public QDialog, public CUpdatorController {
    Q_OBJECT

public:
    explicit CVelmoUpdatorDlg(UpdatorDialogServices services = {});
    // The controller then releases the timer (a running tick finishes) and its share of the engine;
    // the controls go with the dialog base.
    ~CVelmoUpdatorDlg() override;

    // Runs once, when the window is first shown: About entry, icons, then the controller's part
    // (device scan, timer, progress range, title).
    bool OnInitDialog();
    // Window-menu commands: CMD_ABOUT (any of 0x10..0x1F) opens the About box; any other goes to the
    // default handling (close, minimise, restore).
    void OnSysCommand(unsigned id, qintptr extra);
    // The icon the system uses while the minimised window is dragged.
    QIcon OnQueryDragIcon() const { return m_hIcon; }

    // The window menu's entries: a context menu of the window (X11 and Wayland give a program no
    // access to the title bar's menu; on Windows the native program has the real one).
    QMenu* SystemMenu() const { return m_systemMenu; }
    QWidget* Control(int id) const;

    // Ends the modal run; the window is then going away (OnDestroy).
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

private:
    // IUpdatorWindow over the widgets.
    void FillDeviceList(DeviceList list, const std::vector<std::string>& names, int selection) override;
    int DeviceListSelection(DeviceList list) const override;
    void SetTitle(const std::string& title) override;
    void SetStatusText(const std::string& text) override;
    void SetProgressRange(int maximum) override;
    void SetProgressPos(int position) override;
    void EnableControl(HostControl control, bool enable) override;
    void ShowErrorBox(const std::string& caption, const std::string& text) override;

    void DoDataExchange();
    void AddAboutEntry();
    void DefaultSysCommand(unsigned id, qintptr extra);
    QComboBox* DeviceCombo(DeviceList list) const;

    MessageBoxFunction m_messageBox;
    QIcon m_hIcon;
    QHash<int, QWidget*> m_controls;
    QMenu* m_systemMenu = nullptr;
    bool m_initialised = false;
};
