// The About box and the window-menu entry that opens it.
#include <QAction>
#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <gtest/gtest.h>

#include "AppWindowRig.h"
#include "CAboutDlg.h"
#include "DialogTemplate.h"

using namespace std::chrono_literals;
using apptest::RigOptions;
using apptest::WindowRig;

namespace {

RigOptions NoDevice() {
    RigOptions options;
    options.withSimulator = false;
    return options;
}

struct AboutSeen {
    bool opened = false;
    QString caption;
    QString version;
    bool versionReadOnly = false;
    QWidget* owner = nullptr;
    int result = -1;
};

// Arms a handler for the next modal box: records what an About box shows and closes it with `key`.
void CloseNextAboutWith(int key, AboutSeen& seen) {
    apptest::OnNextModal([&seen, key](QWidget* modal) {
        auto* about = qobject_cast<CAboutDlg*>(modal);
        if (about == nullptr) {
            modal->close();
            return;
        }
        seen.opened = true;
        seen.caption = about->windowTitle();
        seen.version = about->m_versionEdit->text();
        seen.versionReadOnly = about->m_versionEdit->isReadOnly();
        seen.owner = about->parentWidget();
        QObject::connect(about, &QDialog::finished, [&seen](int r) { seen.result = r; });
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
        QWidget* target = QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : about;
        QApplication::sendEvent(target, &press);
        if (about->isVisible()) about->reject();  // the key failed: end the test's wait anyway
    });
}

}  // namespace

TEST(WindowMenu, EndsWithASeparatorAndTheAboutEntry) {
    WindowRig rig(NoDevice());
    QMenu* menu = rig.Dialog().SystemMenu();
    ASSERT_NE(menu, nullptr);
    const QList<QAction*> actions = menu->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), "About Tarnet Updater(&A)...");
    EXPECT_EQ(actions.back()->data().toUInt(), CMD_ABOUT);
}

TEST(WindowMenu, OffersOnlyWhatTheWindowHasCloseAndAboutButNoMinimize) {
    WindowRig rig(NoDevice());
    const CVelmoUpdatorDlg& d = rig.Dialog();
    // The dialog has no minimise box, so its menu has no "Minimize" either.
    EXPECT_FALSE(d.windowFlags() & Qt::WindowMinimizeButtonHint);
    std::vector<unsigned> commands;
    for (const QAction* a : d.SystemMenu()->actions()) {
        if (a->isSeparator()) continue;
        commands.push_back(a->data().toUInt());
        EXPECT_FALSE(a->text().contains("minimi", Qt::CaseInsensitive)) << a->text().toStdString();
    }
    EXPECT_EQ(commands, (std::vector<unsigned>{SYSCMD_CLOSE, CMD_ABOUT}));
}

TEST(WindowMenu, HasNoAboutEntryWhenTheStringIsEmptyOrMissing) {
    for (const char* text : {"", static_cast<const char*>(nullptr)}) {
        RigOptions options = NoDevice();
        options.loadString = [text](int id) -> const char* {
            return id == 101 ? text : LoadStringById(id);
        };
        WindowRig rig(options);
        QMenu* menu = rig.Dialog().SystemMenu();
        ASSERT_NE(menu, nullptr);
        for (QAction* a : menu->actions()) {
            EXPECT_FALSE(a->isSeparator());
            EXPECT_NE(a->data().toUInt(), CMD_ABOUT);
        }
        // The command itself still opens the box; only the entry is missing.
        AboutSeen seen;
        CloseNextAboutWith(Qt::Key_Escape, seen);
        rig.Dialog().OnSysCommand(CMD_ABOUT, 0);
        EXPECT_TRUE(seen.opened);
    }
}

TEST(AboutBox, OpensForCommands0x10To0x1FShowsThePlainNameAndClosesWithEnterOrEscape) {
    RigOptions options = NoDevice();
    options.instanceNumber = 2;
    WindowRig rig(options);
    auto& d = rig.Dialog();
    EXPECT_EQ(d.windowTitle(), "Tarnet System Ver 1.10 Updater (2)");

    AboutSeen byEntry;
    CloseNextAboutWith(Qt::Key_Return, byEntry);
    d.SystemMenu()->actions().back()->trigger();  // the menu entry: command 0x10
    EXPECT_TRUE(byEntry.opened);
    EXPECT_EQ(byEntry.caption, "About Tarnet Updater");
    EXPECT_EQ(byEntry.version, "Tarnet System Ver 1.10 Updater");
    EXPECT_TRUE(byEntry.versionReadOnly);
    EXPECT_EQ(byEntry.owner, &d);
    EXPECT_EQ(byEntry.result, QDialog::Accepted);

    AboutSeen byHighBits;
    CloseNextAboutWith(Qt::Key_Escape, byHighBits);
    d.OnSysCommand(0x1F, 0);
    EXPECT_TRUE(byHighBits.opened);
    EXPECT_EQ(byHighBits.result, QDialog::Rejected);

    // The main window is unchanged by either.
    EXPECT_TRUE(d.isVisible());
    EXPECT_FALSE(d.IsDestroyed());
    EXPECT_EQ(d.windowTitle(), "Tarnet System Ver 1.10 Updater (2)");
}

TEST(AboutBox, TheCloseCommandClosesTheWindowAndNeverOpensTheBox) {
    WindowRig rig(NoDevice());
    int aboutBoxes = 0;
    // Counts every About box that gets shown from here on.
    struct Counter : QObject {
        int* count;
        explicit Counter(int* c) : count(c) {}
        bool eventFilter(QObject* o, QEvent* e) override {
            if (e->type() == QEvent::Show && qobject_cast<CAboutDlg*>(o) != nullptr) ++*count;
            return false;
        }
    } counter(&aboutBoxes);
    qApp->installEventFilter(&counter);
    rig.Dialog().OnSysCommand(0xF060, 0);
    apptest::PumpFor(20ms);
    qApp->removeEventFilter(&counter);
    EXPECT_EQ(aboutBoxes, 0);
    EXPECT_FALSE(rig.Dialog().isVisible());
    EXPECT_TRUE(rig.Dialog().IsDestroyed());
}

TEST(AboutBox, AnUpdateGoesOnWhileTheBoxIsOpen) {
    RigOptions options;
    options.device.answerDelayMin = 5ms;
    options.device.answerDelayMax = 10ms;
    WindowRig rig(options);
    auto& d = rig.Dialog();
    d.m_executeButton->click();
    ASSERT_TRUE(apptest::PumpUntil([&] { return rig.Progress() >= 9216; }, 20s));

    int progressAtOpen = -1;
    int progressBeforeClose = -1;
    bool opened = false;
    apptest::OnNextModal([&](QWidget* modal) {
        opened = qobject_cast<CAboutDlg*>(modal) != nullptr;
        progressAtOpen = rig.Progress();
        // While the box is open, the window keeps serving the run.
        apptest::PumpUntil([&] { return rig.Progress() >= progressAtOpen + 3 * 9216; }, 20s);
        progressBeforeClose = rig.Progress();
        modal->close();
    });
    d.OnSysCommand(CMD_ABOUT, 0);
    ASSERT_TRUE(opened);
    EXPECT_GE(progressBeforeClose, progressAtOpen + 3 * 9216);

    ASSERT_TRUE(rig.WaitForCompletion());
    EXPECT_EQ(rig.Status(), "Version update completed.");
    EXPECT_EQ(rig.Progress(), 327680);
    EXPECT_TRUE(rig.Boxes().empty());
}

namespace {

// Every static text of `dialog` that is wider than its label, as "text: N px of text for M px".
QStringList TextsWiderThanTheirLabels(const QWidget& dialog) {
    QStringList wider;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->text().isEmpty()) continue;  // the icon
        const int text = label->fontMetrics().horizontalAdvance(label->text());
        if (text > label->width()) {
            wider << QStringLiteral("\"%1\": %2 px of text for %3 px").arg(label->text()).arg(text).arg(label->width());
        }
    }
    return wider;
}

}  // namespace

// The template's own font is a Windows font; elsewhere the dialog takes the system's UI font, and
// the fonts that the package depends on (fonts-dejavu-core, fonts-noto-cjk) are what it can be.
TEST(AboutBox, EveryStaticTextFitsItsLabelAtTheDialogFont) {
    {
        CAboutDlg about;
        const QList<QLabel*> labels = about.findChildren<QLabel*>();
        ASSERT_GE(labels.size(), 2) << "the icon and the notice";
        EXPECT_TRUE(TextsWiderThanTheirLabels(about).isEmpty())
            << about.font().family().toStdString() << ": "
            << TextsWiderThanTheirLabels(about).join("; ").toStdString();
    }

    for (int id : {100, 103}) {
        const std::optional<DialogTemplate> tpl = LoadDialogTemplate(id);
        ASSERT_TRUE(tpl.has_value()) << id;
        for (const char* family : {"DejaVu Sans", "Noto Sans CJK JP"}) {
            SCOPED_TRACE(family);
            ASSERT_TRUE(QFontDatabase::families().contains(family)) << "a font the package depends on";
            QFont font(family);
            font.setPointSize(tpl->fontPoints);
            QDialog dialog;
            dialog.setFont(font);
            BuildDialog(&dialog, *tpl, BaseUnitsOf(font), QIcon());
            const QStringList wider = TextsWiderThanTheirLabels(dialog);
            EXPECT_TRUE(wider.isEmpty()) << "template " << id << ": " << wider.join("; ").toStdString();
        }
    }
}
