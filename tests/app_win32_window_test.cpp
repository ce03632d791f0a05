// The native Windows main window and About box (under Wine in the test command): what the Win32
// controls show of the controller (whose own behaviour app_controller_test covers), the update from
// Execute to completion against the simulated device through the dialog's message loop, the error
// box, the keys, the system menu and the About box, closing during a run, the request path of the
// engine's threads, and the resources that the program is built from.
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <thread>

#include "CAboutDlg.h"
#include "StringTable.h"
#include "Win32WindowRig.h"
#include "resource.h"

using namespace std::chrono_literals;
using win32test::PumpFor;
using win32test::PumpUntil;
using win32test::RigOptions;
using win32test::WindowRig;
using win32test::WindowText;

namespace {

const std::vector<bool> READY{true, true, true, true};
const std::vector<bool> RUNNING{false, false, false, false};
const std::vector<bool> COMPLETED{true, true, false, true};

const char* const JAPANESE_DEFAULT =
    "USB \xE3\x82\xAA\xE3\x83\xBC\xE3\x83\x87\xE3\x82\xA3\xE3\x82\xAA "
    "\xE3\x83\x87\xE3\x83\x90\xE3\x82\xA4\xE3\x82\xB9";

// Runs on a helper thread while the UI thread is inside a modal run: waits for the About box of
// the UI thread, lets `act` deal with it and makes sure it is closed afterwards. Found() tells
// whether a box appeared within the limit.
class AboutBoxWatcher {
public:
    AboutBoxWatcher(DWORD uiThread, std::function<void(HWND box)> act,
                    std::chrono::milliseconds limit = 10s)
        : m_thread([=, this] {
              HWND box = nullptr;
              const auto deadline = std::chrono::steady_clock::now() + limit;
              while (box == nullptr && std::chrono::steady_clock::now() < deadline) {
                  box = win32test::FindThreadWindow(uiThread, L"About Tarnet Updater");
                  if (box == nullptr) Sleep(10);
              }
              if (box != nullptr) {
                  m_found = true;
                  act(box);
                  // Whatever `act` did, the box goes within the limit.
                  for (int i = 0; i < 500 && IsWindow(box); ++i) Sleep(10);
                  if (IsWindow(box)) PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
              }
              m_done = true;
          }) {}
    // Serves the UI thread until the watcher has finished, then joins it.
    ~AboutBoxWatcher() {
        PumpUntil([this] { return m_done.load(); }, 30s);
        m_thread.join();
    }
    bool Found() const { return m_found.load(); }
    bool Done() const { return m_done.load(); }

private:
    std::atomic<bool> m_found{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

std::wstring MenuText(HMENU menu, int position) {
    wchar_t text[128] = {};
    GetMenuStringW(menu, static_cast<UINT>(position), text, 128, MF_BYPOSITION);
    return text;
}

}  // namespace

TEST(NativeWindow, StartsReadyWithTitleIconProgressRangeAndTheDefaultDevicesSelected) {
    RigOptions options;
    // The lists show the controller's scan (app_controller_test holds its rules) in Win32 controls.
    options.outDevicesBefore = {JAPANESE_DEFAULT, "usb audio device", "USB Audio Device 2"};
    options.inDevicesBefore = {"Other MIDI In"};
    WindowRig rig(options);
    auto& d = rig.Dialog();

    EXPECT_EQ(WindowText(rig.Window()), "Tarnet System Ver 1.10 Updater");
    EXPECT_TRUE(IsWindowVisible(rig.Window()));
    EXPECT_NE(SendMessageW(rig.Window(), WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageW(rig.Window(), WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_EQ(rig.Enabled(), READY);
    EXPECT_TRUE(rig.ExitEnabled());
    EXPECT_EQ(rig.Running(), 0);
    EXPECT_EQ(rig.Status(), "");

    PBRANGE range{};
    SendMessageW(d.m_progress, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 327680);
    EXPECT_EQ(rig.Progress(), 0);

    // UTF-8 names from the engine reach the list whole, the Japanese one included.
    const std::vector<std::string> outs = rig.Entries(d.m_midiOutCombo);
    ASSERT_EQ(outs.size(), 4u);
    EXPECT_EQ(outs[0], JAPANESE_DEFAULT);
    EXPECT_EQ(outs[3], "USB Audio Device");
    EXPECT_EQ(rig.Selection(d.m_midiOutCombo), 3);
    EXPECT_EQ(d.Engine()->MidiOutSelection(), 3);
    EXPECT_EQ(rig.Entries(d.m_midiInCombo), (std::vector<std::string>{"Other MIDI In", "USB Audio Device"}));
    EXPECT_EQ(rig.Selection(d.m_midiInCombo), 1);

    // The user's pick reaches the engine; "Rescan Device" puts the default match back.
    SendMessageW(d.m_midiOutCombo, CB_SETCURSEL, 1, 0);
    SendMessageW(rig.Window(), WM_COMMAND, MAKEWPARAM(IDC_MIDI_OUT, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(d.m_midiOutCombo));
    EXPECT_EQ(d.Engine()->MidiOutSelection(), 1);
    rig.Click(IDC_RESCAN);
    EXPECT_EQ(rig.Selection(d.m_midiOutCombo), 3);
    EXPECT_EQ(d.Engine()->MidiOutSelection(), 3);
}

TEST(NativeWindow, AWholeUpdateGoesFromReadyThroughRunningToCompletedAndRescanEnablesExecute) {
    WindowRig rig;
    auto& d = rig.Dialog();

    rig.Click(IDOK);
    EXPECT_EQ(rig.Enabled(), RUNNING);
    EXPECT_TRUE(rig.ExitEnabled());
    EXPECT_EQ(rig.Running(), 1);
    // The run's requests are served while the UI thread runs its message loop.
    EXPECT_TRUE(PumpUntil([&] { return rig.Status().rfind("Data transmit  ", 0) == 0; }, 30s));
    ASSERT_TRUE(rig.WaitForCompletion());

    EXPECT_TRUE(rig.Boxes().empty());
    EXPECT_EQ(rig.Status(), "Version update completed.");
    EXPECT_EQ(rig.Progress(), 327680);
    EXPECT_EQ(rig.Enabled(), COMPLETED);
    EXPECT_EQ(d.Engine()->WaitForRunEnd(1s), UpdateOutcome::Completed);
    std::string verdict;
    EXPECT_TRUE(rig.Device().Verdict(&verdict)) << verdict;

    // Enter does nothing while "Execute" is disabled; "Rescan Device" gives "Execute" back.
    rig.PressKey(VK_RETURN);
    EXPECT_EQ(rig.Running(), 0);
    EXPECT_TRUE(rig.WindowExists());
    rig.Click(IDC_RESCAN);
    EXPECT_EQ(rig.Enabled(), READY);
    EXPECT_EQ(rig.Status(), "Version update completed.");  // a rescan leaves the status alone

    // Enter now starts the next run exactly as "Execute" does.
    SetFocus(d.m_midiInCombo);
    rig.PressKey(VK_RETURN);
    EXPECT_EQ(rig.Running(), 1);
    ASSERT_TRUE(rig.WaitForCompletion());
    EXPECT_TRUE(rig.Boxes().empty());
}

TEST(NativeWindow, AnErrorEndingShowsItsStopBoxOwnedByTheWindowAndLeavesItReady) {
    RigOptions options;
    options.device.eraseStatus = devsim::STATUS_NOT_IN_VERSION_UP;
    WindowRig rig(options);
    rig.Click(IDOK);
    ASSERT_TRUE(rig.WaitForReady());
    const auto boxes = rig.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Please set the Version-up mode.");
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].owner, rig.Window());
    EXPECT_EQ(rig.Enabled(), READY);
    EXPECT_EQ(rig.Status(), "");  // the run clears "Erasing Flash memory." once the device answered
    EXPECT_EQ(rig.Dialog().Engine()->WaitForRunEnd(1s), UpdateOutcome::NotInVersionUpMode);
}

TEST(NativeWindow, ClosingDuringARunShowsNoBoxTheRunEndsSilentlyAndTheReleaseDoesNotHang) {
    // Each round closes the window another way while the run's requests come and go (the
    // controller's test closes it in every phase of the run): in the middle of the transfer, and
    // at once.
    enum class How { ExitButton, EscapeKey, CloseCommand };
    const How ways[] = {How::ExitButton, How::EscapeKey, How::CloseCommand};
    for (const How how : ways) {
        for (const std::chrono::milliseconds closeAfter : {300ms, 0ms}) {
            SCOPED_TRACE("closed after " + std::to_string(closeAfter.count()) + " ms, way " +
                         std::to_string(static_cast<int>(how)));
            WindowRig rig;
            auto& d = rig.Dialog();
            rig.Click(IDOK);
            ASSERT_EQ(rig.Running(), 1);
            PumpFor(closeAfter);
            switch (how) {
                case How::ExitButton: rig.Click(IDCANCEL); break;
                case How::EscapeKey: rig.PressKey(VK_ESCAPE); break;
                case How::CloseCommand: SendMessageW(rig.Window(), WM_SYSCOMMAND, SC_CLOSE, 0); break;
            }
            EXPECT_TRUE(PumpUntil([&] { return !rig.WindowExists(); }, 5s));
            EXPECT_TRUE(d.IsDestroyed());
            // The run ends without a word: its outcome is "window closed" and no box was shown.
            EXPECT_EQ(d.Engine()->WaitForRunEnd(10s), UpdateOutcome::WindowClosed);
            EXPECT_TRUE(rig.Boxes().empty());
            rig.Release();
        }
    }
}

TEST(NativeWindow, TheModalRunEndsWhenTheWindowIsClosedDuringAnUpdate) {
    UpdatorDialogServices services;
    std::atomic<int> boxes{0};
    services.messageBox = [&](HWND, const std::wstring&, const std::wstring&) { ++boxes; };
    platform::LoopbackMidiOut out;
    platform::LoopbackMidiIn in;
    platform::PosixTimerService timer;
    devsim::DeviceSimulatorConfig mute = RigOptions::DefaultDevice();
    mute.mute = true;
    devsim::LoopbackLink link(out, in, win32test::DEVICE, mute);
    const EnginePlatform platform{&out, &in, &timer};
    services.createEngine = [platform](std::shared_ptr<IUpdateHost> host) {
        return std::make_shared<CUpdateEngine>(std::move(host), platform, EngineTimings{30000, 10, 5});
    };
    const DWORD uiThread = GetCurrentThreadId();
    std::atomic<bool> sawRun{false};
    std::atomic<CUpdateEngine*> engine{nullptr};
    // Presses "Execute" once the modal window is up, then closes it with its close box.
    std::thread user([&] {
        HWND window = nullptr;
        for (int i = 0; i < 1000 && window == nullptr; ++i) {
            window = win32test::FindThreadWindow(uiThread, L"Tarnet System Ver 1.10 Updater");
            if (window == nullptr) Sleep(10);
        }
        if (window == nullptr) return;
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        for (int i = 0; i < 500 && !sawRun; ++i) {
            CUpdateEngine* e = engine.load();
            sawRun = e != nullptr && e->IsUpdateRunning();
            Sleep(10);
        }
        PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    });
    INT_PTR result = 0;
    {
        win32test::Watchdog watchdog(30s, "the modal run");
        CVelmoUpdatorDlg dialog(services);
        engine = dialog.Engine();
        result = dialog.DoModal();
        EXPECT_TRUE(dialog.IsDestroyed());
        EXPECT_EQ(dialog.Engine()->WaitForRunEnd(10s), UpdateOutcome::WindowClosed);
    }
    user.join();
    EXPECT_TRUE(sawRun);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(boxes, 0);
    EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
}

TEST(NativeWindow, HostRequestsFromAnotherThreadRunOnTheUiThreadAndFailAtOnceOnceTheWindowIsGone) {
    RigOptions options;
    options.withDevice = false;
    WindowRig rig(options);
    std::shared_ptr<IUpdateHost> host = rig.Dialog().Host();

    // Served while the UI thread runs its loop.
    std::atomic<int> result{-1};
    std::thread caller([&] {
        result = host->ShowStatus({RunStatus::Kind::DataTransmit, 9216, 327680}) ? 1 : 0;
    });
    EXPECT_TRUE(PumpUntil([&] { return result.load() != -1; }, 10s));
    caller.join();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(rig.Status(), "Data transmit  9216 / 327680 ");

    // A request that waits while the window is destroyed comes back "not run" instead of waiting
    // for a window that will never serve it.
    std::atomic<bool> waiting{false};
    std::atomic<int> late{-1};
    std::thread lateCaller([&] {
        waiting = true;
        late = host->SetProgressPos(1000) ? 1 : 0;
    });
    while (!waiting) Sleep(1);
    Sleep(50);  // the request is queued; the UI thread does not serve it before the close
    DestroyWindow(rig.Window());
    EXPECT_TRUE(win32test::PumpUntil([&] { return late.load() != -1; }, 10s));
    lateCaller.join();
    EXPECT_EQ(late, 0);

    // Afterwards every request fails at once.
    const auto before = std::chrono::steady_clock::now();
    std::atomic<int> after{-1};
    std::thread afterCaller([&] { after = host->EnableControl(HostControl::Execute, true) ? 1 : 0; });
    afterCaller.join();
    EXPECT_EQ(after, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
}

TEST(WindowMenu, EndsWithASeparatorAndTheAboutEntryWithCommand0x10) {
    WindowRig rig;
    HMENU menu = GetSystemMenu(rig.Window(), FALSE);
    ASSERT_NE(menu, nullptr);
    const int count = GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    MENUITEMINFOW separator{};
    separator.cbSize = sizeof separator;
    separator.fMask = MIIM_FTYPE;
    ASSERT_TRUE(GetMenuItemInfoW(menu, static_cast<UINT>(count - 2), TRUE, &separator));
    EXPECT_TRUE(separator.fType & MFT_SEPARATOR);
    EXPECT_EQ(MenuText(menu, count - 1), L"About Tarnet Updater(&A)...");
    EXPECT_EQ(GetMenuItemID(menu, count - 1), 0x10u);
}

TEST(WindowMenu, HasNoAboutEntryWhenTheStringIsMissing) {
    RigOptions options;
    options.withDevice = false;
    WindowRig plain(options);
    const int plainCount = GetMenuItemCount(GetSystemMenu(plain.Window(), FALSE));

    UpdatorDialogServices services;
    services.loadString = [](int id) { return id == IDS_ABOUTBOX ? nullptr : LoadStringById(id); };
    services.createEngine = [](std::shared_ptr<IUpdateHost> host) {
        return std::make_shared<CUpdateEngine>(std::move(host), EnginePlatform{});
    };
    CVelmoUpdatorDlg dialog(services);
    HWND window = dialog.Create();
    ASSERT_NE(window, nullptr);
    HMENU menu = GetSystemMenu(window, FALSE);
    EXPECT_EQ(GetMenuItemCount(menu), plainCount - 2);
    EXPECT_NE(GetMenuItemID(menu, GetMenuItemCount(menu) - 1), 0x10u);
}

TEST(AboutBox, OpensForSystemCommands0x10To0x1FShowsThePlainNameAndClosesWithEscapeOrEnter) {
    RigOptions options;
    options.instanceNumber = 2;
    WindowRig rig(options);
    const DWORD ui = GetCurrentThreadId();
    struct Case {
        WPARAM command;
        UINT key;
        INT_PTR expected;
    };
    for (const Case c : {Case{0x10, VK_ESCAPE, IDCANCEL}, Case{0x1F, VK_RETURN, IDOK}}) {
        SCOPED_TRACE(c.command);
        std::wstring shown;
        bool readOnly = false;
        HWND owner = nullptr;
        bool closedByKey = false;
        {
            AboutBoxWatcher watcher(ui, [&](HWND box) {
                wchar_t text[128] = {};
                GetDlgItemTextW(box, IDC_VERSION, text, 128);
                shown = text;
                readOnly = (GetWindowLongW(GetDlgItem(box, IDC_VERSION), GWL_STYLE) & ES_READONLY) != 0;
                owner = GetWindow(box, GW_OWNER);
                // The key goes to the focused control, "OK"; the dialog manager acts on it.
                HWND ok = GetDlgItem(box, IDOK);
                PostMessageW(ok, WM_KEYDOWN, c.key, 1);
                PostMessageW(ok, WM_KEYUP, c.key, 0xC0000001);
                for (int i = 0; i < 300 && IsWindow(box); ++i) Sleep(10);
                closedByKey = !IsWindow(box);
            });
            // The real message path: WM_SYSCOMMAND reaches OnSysCommand, which runs the box modally.
            SendMessageW(rig.Window(), WM_SYSCOMMAND, c.command, 0);
            EXPECT_TRUE(watcher.Found());
        }
        EXPECT_EQ(shown, L"Tarnet System Ver 1.10 Updater");
        EXPECT_TRUE(readOnly);
        EXPECT_EQ(owner, rig.Window());
        EXPECT_TRUE(closedByKey);
        // The main window carries on, unchanged.
        EXPECT_TRUE(rig.WindowExists());
        EXPECT_EQ(WindowText(rig.Window()), "Tarnet System Ver 1.10 Updater (2)");
    }
}

TEST(AboutBox, TheCloseCommandClosesTheWindowAndNeverOpensTheBox) {
    WindowRig rig;
    AboutBoxWatcher watcher(GetCurrentThreadId(), [](HWND) {}, 1s);
    SendMessageW(rig.Window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(PumpUntil([&] { return watcher.Done(); }, 10s));
    EXPECT_FALSE(watcher.Found());
    EXPECT_FALSE(rig.WindowExists());
}

TEST(AboutBox, AnUpdateGoesOnWhileTheBoxIsOpen) {
    WindowRig rig;
    rig.Click(IDOK);
    ASSERT_EQ(rig.Running(), 1);
    int progressWhileOpen = -1;
    CUpdateEngine* const engine = rig.Dialog().Engine();
    {
        AboutBoxWatcher watcher(GetCurrentThreadId(), [&](HWND box) {
            // The box stays open while the run moves on (its requests are served by the box's
            // modal loop); it is closed once the run has completed.
            for (int i = 0; i < 3000 && engine->IsUpdateRunning(); ++i) Sleep(10);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }, 10s);
        SendMessageW(rig.Window(), WM_SYSCOMMAND, CMD_ABOUT, 0);
        progressWhileOpen = rig.Progress();
        EXPECT_TRUE(watcher.Found());
    }
    EXPECT_EQ(progressWhileOpen, 327680);
    ASSERT_TRUE(rig.WaitForCompletion());
    EXPECT_EQ(rig.Status(), "Version update completed.");
    EXPECT_TRUE(rig.Boxes().empty());
}

TEST(Resources, TheStringTableHoldsTheSharedTextsUnderTheirIdentifiers) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    for (int id = 101; id <= 115; ++id) {
        SCOPED_TRACE(id);
        const wchar_t* text = nullptr;
        // Length 0 asks for a pointer to the text in the resource itself.
        const int length = LoadStringW(module, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
        const char* shared = LoadStringById(id);
        if (shared == nullptr) {
            EXPECT_EQ(length, 0);
        } else {
            ASSERT_GT(length, 0);
            EXPECT_EQ(WideToUtf8(std::wstring(text, static_cast<std::size_t>(length))), shared);
        }
    }
    EXPECT_EQ(LoadStringById(104), nullptr);
    EXPECT_EQ(LoadStringById(112), nullptr);
}

TEST(Resources, TheMainWindowIsLaidOutInDialogUnitsAsTheTemplateDataSays) {
    RigOptions options;
    options.withDevice = false;
    WindowRig rig(options);
    HWND window = rig.Window();
    struct Expected {
        int id;
        RECT units;  // x, y, width, height
    };
    const Expected controls[] = {
        {IDOK, {119, 138, 50, 16}},       {IDCANCEL, {182, 138, 50, 16}},
        {IDC_MIDI_IN, {7, 15, 225, 0}},   {IDC_MIDI_OUT, {7, 45, 225, 0}},
        {IDC_PROGRESS, {7, 107, 225, 14}}, {IDC_STATUS, {7, 91, 225, 12}},
        {IDC_RESCAN, {145, 65, 87, 16}},  {IDC_PICTURE, {7, 134, 20, 20}},
    };
    for (const Expected& c : controls) {
        SCOPED_TRACE(c.id);
        // Position and size are converted to pixels each on its own, as the dialog manager does.
        RECT expected = c.units;
        MapDialogRect(window, &expected);
        HWND control = GetDlgItem(window, c.id);
        ASSERT_NE(control, nullptr);
        RECT actual;
        GetWindowRect(control, &actual);
        MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right - actual.left, expected.right);
        // A combo box's height is its edit part's; the template's includes the dropped list.
        if (c.units.bottom != 0) {
            EXPECT_EQ(actual.bottom - actual.top, expected.bottom);
        }
    }
    RECT client;
    GetClientRect(window, &client);
    RECT size{0, 0, 239, 161};
    MapDialogRect(window, &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    // Pop-up with caption and system menu, no minimise or maximise box, its own taskbar button.
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_TRUE(style & WS_SYSMENU);
    EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_TRUE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_APPWINDOW);
    wchar_t cls[32] = {};
    GetClassNameW(GetDlgItem(window, IDC_PROGRESS), cls, 32);
    EXPECT_STREQ(cls, L"msctls_progress32");
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(window, IDC_STATUS), GWL_STYLE) & ES_READONLY);
}

TEST(Resources, TheIconHoldsImagesOf48And32And16Pixels) {
    HINSTANCE module = GetModuleHandleW(nullptr);
    HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr);
    const auto* directory = static_cast<const BYTE*>(LockResource(LoadResource(module, group)));
    ASSERT_NE(directory, nullptr);
    // NEWHEADER: reserved, type 1 (icon), count; then 14-byte entries starting with width, height.
    const WORD count = static_cast<WORD>(directory[4] | (directory[5] << 8));
    ASSERT_EQ(count, 3);
    std::vector<int> widths;
    for (int i = 0; i < count; ++i) widths.push_back(directory[6 + 14 * i]);
    EXPECT_EQ(widths, (std::vector<int>{48, 32, 16}));
    for (const int size : {16, 32, 48}) {
        HICON icon = static_cast<HICON>(LoadImageW(module, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                                   size, size, LR_DEFAULTCOLOR));
        EXPECT_NE(icon, nullptr) << size;
        if (icon != nullptr) DestroyIcon(icon);
    }
}
