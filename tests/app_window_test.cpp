// The main window driven as a user would, against a simulated device on in-process MIDI devices.
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <gtest/gtest.h>

#include "AppWindowRig.h"
#include "DeviceNames.h"

using namespace std::chrono_literals;
using apptest::PumpUntil;
using apptest::RigOptions;
using apptest::WindowRig;

namespace {

const std::vector<bool> READY{true, true, true, true};
const std::vector<bool> RUNNING{false, false, false, false};
const std::vector<bool> COMPLETED{true, true, false, true};

void PressKey(QWidget* target, int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
    QApplication::sendEvent(target, &press);
    QApplication::sendEvent(target, &release);
}

}  // namespace

TEST(MainWindow, StartsReadyWithTitleProgressRangeAndDefaultDevicesSelected) {
    RigOptions options;
    options.outDevices = {"Midi Through", apptest::DEVICE, "Other"};
    options.inDevices = {apptest::DEVICE, "Midi Through"};
    WindowRig rig(options);
    auto& d = rig.Dialog();
    EXPECT_EQ(d.windowTitle(), "Tarnet System Ver 1.10 Updater");
    EXPECT_EQ(rig.Enabled(), READY);
    EXPECT_EQ(d.m_progress->minimum(), 0);
    EXPECT_EQ(d.m_progress->maximum(), 327680);
    EXPECT_EQ(rig.Progress(), 0);
    EXPECT_EQ(rig.Status(), "");
    EXPECT_TRUE(d.m_statusEdit->isReadOnly());
    ASSERT_EQ(d.m_midiOutCombo->count(), 3);
    EXPECT_EQ(d.m_midiOutCombo->itemText(0), "Midi Through");
    EXPECT_EQ(d.m_midiOutCombo->currentIndex(), 1);
    EXPECT_EQ(d.m_midiInCombo->currentIndex(), 0);
    EXPECT_TRUE(d.m_executeButton->isDefault());
    EXPECT_EQ(d.minimumSize(), d.maximumSize());
}

TEST(MainWindow, TheJapaneseDefaultNameIsSelectedAndShownWhole) {
    // "USB オーディオ デバイス" takes 32 bytes in UTF-8 (35 with " (2)"): a name record that cut
    // names at 31 bytes would make the Japanese default unmatchable.
    static_assert(platform::MAX_PNAME_LEN > 36);
    const std::string japanese = DEFAULT_DEVICE_NAMES[0];
    RigOptions options;
    options.withSimulator = false;
    options.outDevices = {japanese, "Other"};
    options.inDevices = {"Other", japanese + " (2)", japanese};
    options.instanceNumber = 2;
    WindowRig rig(options);
    EXPECT_EQ(rig.Dialog().m_midiOutCombo->currentIndex(), -1);
    EXPECT_EQ(rig.Dialog().m_midiInCombo->currentIndex(), 1);
    EXPECT_EQ(rig.Dialog().m_midiInCombo->itemText(1).toStdString(), japanese + " (2)");
}

TEST(MainWindow, AWholeUpdateGoesFromReadyThroughRunningToCompletedAndRescanEnablesExecute) {
    WindowRig rig;
    auto& d = rig.Dialog();
    std::vector<std::string> statusTexts;
    QObject::connect(d.m_statusEdit, &QLineEdit::textChanged,
                     [&](const QString& t) { statusTexts.push_back(t.toStdString()); });

    d.m_executeButton->click();
    EXPECT_EQ(rig.Enabled(), RUNNING);
    EXPECT_EQ(rig.Running(), 1);
    ASSERT_TRUE(rig.WaitForCompletion());

    EXPECT_TRUE(rig.Boxes().empty());
    EXPECT_EQ(rig.Status(), "Version update completed.");
    EXPECT_EQ(rig.Progress(), 327680);
    EXPECT_EQ(rig.Enabled(), COMPLETED);
    std::string verdict;
    EXPECT_TRUE(rig.Device().Verdict(&verdict)) << verdict;

    // The run's texts reach the line edit as the run writes them.
    ASSERT_GE(statusTexts.size(), 3u);
    EXPECT_EQ(statusTexts.front(), "Erasing Flash memory.");
    EXPECT_NE(std::find(statusTexts.begin(), statusTexts.end(), "Data transmit  0 / 327680 "),
              statusTexts.end());

    // Enter does nothing while "Execute" is disabled (in particular it does not close the window
    // through another button); "Rescan Device" gives "Execute" back.
    QWidget* focus = QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : &d;
    PressKey(focus, Qt::Key_Return);
    EXPECT_EQ(rig.Running(), 0);
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(d.IsDestroyed());
    d.m_rescanButton->click();
    EXPECT_EQ(rig.Enabled(), READY);
    EXPECT_EQ(rig.Status(), "Version update completed.");  // a rescan leaves the status alone
}

TEST(MainWindow, AnErrorEndingShowsItsBoxAndLeavesTheWindowReadyWithItsProgress) {
    RigOptions options;
    options.device.eraseStatus = devsim::STATUS_NOT_IN_VERSION_UP;
    WindowRig rig(options);
    rig.Dialog().m_executeButton->click();
    ASSERT_TRUE(rig.WaitForRunEnd());
    EXPECT_EQ(rig.Boxes(), std::vector<std::string>{"Please set the Version-up mode."});
    EXPECT_EQ(rig.BoxCaptions(), std::vector<std::string>{"Error"});
    EXPECT_TRUE(rig.BoxesOwnedByWindow());
    EXPECT_EQ(rig.Enabled(), READY);
    EXPECT_EQ(rig.Status(), "");
}

TEST(MainWindow, EnterStartsARunLikeExecuteAndEscapeClosesTheWindow) {
    WindowRig rig;
    auto& d = rig.Dialog();
    d.m_midiInCombo->setFocus();
    // Keys go to the focused control and on to the dialog, as the window system delivers them.
    QWidget* target = QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : &d;
    PressKey(target, Qt::Key_Return);
    EXPECT_EQ(rig.Running(), 1);
    EXPECT_EQ(rig.Enabled(), RUNNING);
    EXPECT_TRUE(d.isVisible());
    ASSERT_TRUE(rig.WaitForCompletion());
    EXPECT_EQ(rig.Status(), "Version update completed.");

    PressKey(&d, Qt::Key_Escape);
    EXPECT_FALSE(d.isVisible());
    EXPECT_TRUE(d.IsDestroyed());
    EXPECT_EQ(d.result(), QDialog::Rejected);
}

TEST(MainWindow, ExitDuringARunClosesTheWindowWithoutABoxWhileTheRunsRequestsFlow) {
    // The window closes while the run's requests come and go (the controller's test closes it in
    // every phase of the run): in the middle of the transfer, and at once.
    for (int repeat = 0; repeat < 5; ++repeat) {
        for (const std::chrono::milliseconds closeAfter : {200ms, 0ms}) {
            SCOPED_TRACE("closed after " + std::to_string(closeAfter.count()) + " ms, round " +
                         std::to_string(repeat));
            WindowRig rig;
            auto& d = rig.Dialog();
            d.m_executeButton->click();
            ASSERT_EQ(rig.Running(), 1);
            apptest::PumpFor(closeAfter);
            const std::string statusBefore = rig.Status();
            qobject_cast<QPushButton*>(d.Control(2))->click();  // "Exit"
            EXPECT_FALSE(d.isVisible());
            EXPECT_TRUE(d.IsDestroyed());
            // The run ends without a word and without touching the window.
            EXPECT_TRUE(CUpdateEngine::WaitForWorkers(10s));
            apptest::PumpFor(10ms);
            EXPECT_TRUE(rig.Boxes().empty());
            EXPECT_EQ(rig.Enabled(), RUNNING);
            EXPECT_EQ(rig.Status(), statusBefore);
            rig.DestroyWindow();
        }
    }
}

TEST(MainWindow, TheEngineSendsToTheMidiOutDeviceSelectedInTheListAtEveryChange) {
    RigOptions options;
    options.withSimulator = false;
    options.outDevices = {"A", apptest::DEVICE, "B"};
    WindowRig rig(options);
    CUpdateEngine& engine = *rig.Dialog().Engine();
    EXPECT_EQ(engine.MidiOutSelection(), 1) << "the default device after the first scan";
    rig.Dialog().m_midiOutCombo->setCurrentIndex(2);
    EXPECT_EQ(engine.MidiOutSelection(), 2);
    EXPECT_EQ(engine.SendStatus(0), 0);
    EXPECT_EQ(rig.Out().MessageCount(rig.OutDevice("B")), 1u);
    rig.Dialog().m_midiOutCombo->setCurrentIndex(0);
    rig.Dialog().OnRescanDevice();
    EXPECT_EQ(engine.MidiOutSelection(), 1) << "a rescan selects the default device again";
}

TEST(MainWindow, TheErrorBoxIsAStopBoxCaptionedErrorWithOneOkOwnedByTheWindow) {
    RigOptions options;
    options.withSimulator = false;
    options.inDevices = {};
    options.realMessageBoxes = true;
    WindowRig rig(options);
    QString caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QList<QAbstractButton*> buttons;
    QWidget* parent = nullptr;
    apptest::OnNextModal([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (box == nullptr) {
            modal->close();
            return;
        }
        caption = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->buttons();
        parent = box->parentWidget();
        EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
        box->button(QMessageBox::Ok)->click();
    });
    rig.Dialog().m_executeButton->click();  // no MIDI input: the box, then back here
    EXPECT_TRUE(rig.Dialog().isVisible());  // "Execute" never closes the window
    EXPECT_EQ(caption, "Error");
    EXPECT_EQ(text, "Can't open MIDI In device.");
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons.size(), 1);
    EXPECT_EQ(parent, &rig.Dialog());
}
