// Dialog templates as data, dialog units to pixels, the icon and where the minimised window draws it.
#include <QComboBox>
#include <QDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>

#include "AppIcon.h"
#include "DialogTemplate.h"
#include "IconPlacement.h"

namespace {

QVector<int> Ids(const DialogTemplate& tpl) {
    QVector<int> ids;
    for (const auto& c : tpl.controls) ids.push_back(c.id);
    return ids;
}

// The next widget that Tab moves to: the focus chain without the widgets that take no Tab focus.
QWidget* NextTabStop(QWidget* w) {
    QWidget* next = w->nextInFocusChain();
    while (next != w && !(next->focusPolicy() & Qt::TabFocus)) next = next->nextInFocusChain();
    return next;
}

}  // namespace

TEST(DialogUnits, ConvertAQuarterCharWidthAcrossAndAnEighthCharHeightDownRoundingHalvesUp) {
    const DialogBaseUnits base{6, 13};
    EXPECT_EQ(HorizontalUnitsToPixels(239, base), 359);  // 358.5
    EXPECT_EQ(HorizontalUnitsToPixels(7, base), 11);     // 10.5
    EXPECT_EQ(HorizontalUnitsToPixels(50, base), 75);
    EXPECT_EQ(VerticalUnitsToPixels(161, base), 262);    // 261.625
    EXPECT_EQ(VerticalUnitsToPixels(7, base), 11);       // 11.375
    EXPECT_EQ(VerticalUnitsToPixels(12, base), 20);      // 19.5
    EXPECT_EQ(DialogUnitsToPixels(QRect(119, 138, 50, 16), base), QRect(179, 224, 75, 26));
}

TEST(DialogUnits, BaseUnitsComeFromTheFontsLetterWidthsAndHeight) {
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPointSize(9);
    const DialogBaseUnits base = BaseUnitsOf(font);
    const QFontMetrics m(font);
    const int letters = m.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(base.averageCharWidth, (letters / 26 + 1) / 2);
    EXPECT_EQ(base.charHeight, m.height());
    EXPECT_GT(base.averageCharWidth, 0);
    // A larger font gives larger units.
    font.setPointSize(18);
    EXPECT_GT(BaseUnitsOf(font).charHeight, base.charHeight);
}

TEST(DialogTemplates, MainWindowTemplateHoldsTheTenControlsInTabOrderWithTheirPlaces) {
    const auto tpl = LoadDialogTemplate(103);
    ASSERT_TRUE(tpl.has_value());
    EXPECT_EQ(tpl->units, QSize(239, 161));
    EXPECT_TRUE(tpl->caption.isEmpty());
    EXPECT_EQ(tpl->fontFace, "MS UI Gothic");
    EXPECT_EQ(tpl->fontPoints, 9);
    EXPECT_EQ(Ids(*tpl), (QVector<int>{1, 2, -1, -1, 1000, 1001, 1002, 1003, 1004, 1005}));
    const auto& execute = tpl->controls[0];
    EXPECT_EQ(execute.text, "Execute");
    EXPECT_EQ(execute.units, QRect(119, 138, 50, 16));
    EXPECT_TRUE(execute.HasStyle("BS_DEFPUSHBUTTON"));
    EXPECT_EQ(tpl->controls[1].text, "Exit");
    EXPECT_EQ(tpl->controls[2].text, "MIDI IN");
    EXPECT_EQ(tpl->controls[3].text, "MIDI OUT");
    EXPECT_EQ(tpl->controls[4].units, QRect(7, 15, 225, 115));
    EXPECT_EQ(tpl->controls[6].units, QRect(7, 107, 225, 14));
    EXPECT_EQ(tpl->controls[7].units, QRect(7, 91, 225, 12));
    EXPECT_TRUE(tpl->controls[7].HasStyle("ES_READONLY"));
    EXPECT_EQ(tpl->controls[8].text, "Rescan Device");
    EXPECT_EQ(tpl->controls[8].units, QRect(145, 65, 87, 16));
}

TEST(DialogTemplates, AboutTemplateHasItsCaptionIconNoticeOkAndVersionField) {
    const auto tpl = LoadDialogTemplate(100);
    ASSERT_TRUE(tpl.has_value());
    EXPECT_EQ(tpl->units, QSize(235, 60));
    EXPECT_EQ(tpl->caption, "About Tarnet Updater");
    EXPECT_EQ(Ids(*tpl), (QVector<int>{-1, -1, 1, 1003}));
    EXPECT_EQ(tpl->controls[0].kind, "icon");
    EXPECT_FALSE(tpl->controls[1].text.isEmpty());
    EXPECT_EQ(tpl->controls[2].text, "OK");
    EXPECT_EQ(tpl->controls[3].units, QRect(39, 19, 134, 14));
    EXPECT_FALSE(LoadDialogTemplate(999).has_value());
    EXPECT_FALSE(ParseDialogTemplate("not json", 103).has_value());
}

TEST(DialogTemplates, BuildingTheMainWindowPlacesControlsInPixelsWithTabOrderAndDefaultButton) {
    const auto tpl = LoadDialogTemplate(103);
    ASSERT_TRUE(tpl.has_value());
    QDialog dialog;
    const DialogBaseUnits base{8, 16};
    const BuiltDialog built = BuildDialog(&dialog, *tpl, base, LoadAppIcon());

    EXPECT_EQ(built.clientSize, QSize(478, 322));
    EXPECT_EQ(dialog.size(), QSize(478, 322));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());  // fixed size
    ASSERT_EQ(built.controls.size(), 10);

    auto* execute = qobject_cast<QPushButton*>(built.byId.value(1));
    ASSERT_NE(execute, nullptr);
    EXPECT_EQ(execute->geometry(), QRect(238, 276, 100, 32));
    EXPECT_TRUE(execute->isDefault());
    auto* exitButton = qobject_cast<QPushButton*>(built.byId.value(2));
    ASSERT_NE(exitButton, nullptr);
    EXPECT_FALSE(exitButton->isDefault());
    EXPECT_EQ(built.byId.value(1002)->geometry(), QRect(14, 214, 450, 28));
    EXPECT_EQ(built.byId.value(1004)->geometry(), QRect(290, 130, 174, 32));
    auto* status = qobject_cast<QLineEdit*>(built.byId.value(1003));
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->isReadOnly());
    EXPECT_EQ(status->geometry(), QRect(14, 182, 450, 24));
    auto* midiIn = qobject_cast<QComboBox*>(built.byId.value(1000));
    ASSERT_NE(midiIn, nullptr);
    EXPECT_FALSE(midiIn->isEditable());
    EXPECT_EQ(midiIn->geometry().topLeft(), QPoint(14, 30));
    EXPECT_EQ(midiIn->width(), 450);
    EXPECT_NE(qobject_cast<QProgressBar*>(built.byId.value(1002)), nullptr);
    EXPECT_NE(qobject_cast<QLabel*>(built.byId.value(1005)), nullptr);
    EXPECT_FALSE(built.byId.contains(-1));

    // Tab order: the tab stops in template order, round to the first.
    const QVector<QWidget*> expected = {execute, exitButton, built.byId.value(1000),
                                        built.byId.value(1001), status, built.byId.value(1004)};
    for (int i = 0; i + 1 < expected.size(); ++i) {
        EXPECT_EQ(NextTabStop(expected[i]), expected[i + 1]) << "after tab stop " << i;
    }
    EXPECT_EQ(built.byId.value(1002)->focusPolicy(), Qt::NoFocus);
}

TEST(AppIcon, HoldsTheSameIconAt16And32And48Pixels) {
    const QIcon icon = LoadAppIcon();
    ASSERT_FALSE(icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    for (int side : {16, 32, 48}) {
        EXPECT_TRUE(sizes.contains(QSize(side, side))) << side;
        const QImage image = icon.pixmap(side, side).toImage();
        EXPECT_EQ(image.size(), QSize(side, side));
        // Drawn, not blank: the centre pixel is opaque.
        EXPECT_EQ(qAlpha(image.pixel(side / 2, side / 2)), 255) << side;
    }
}

TEST(MinimisedIcon, IsCentredWithTheOddPixelToTheRightAndBottomTruncatingTowardZero) {
    EXPECT_EQ(CenteredIconOrigin(160, 100, 32, 32).x, 64);  // (160 - 32 + 1) / 2 = 64.5
    EXPECT_EQ(CenteredIconOrigin(160, 100, 32, 32).y, 34);  // (100 - 32 + 1) / 2 = 34.5
    EXPECT_EQ(CenteredIconOrigin(161, 33, 32, 32).x, 65);
    EXPECT_EQ(CenteredIconOrigin(161, 33, 32, 32).y, 1);
    EXPECT_EQ(CenteredIconOrigin(32, 32, 32, 32).x, 0);
    // Smaller client than icon: -1/2 and -2/2 truncate toward zero, not down.
    EXPECT_EQ(CenteredIconOrigin(30, 29, 32, 32).x, 0);
    EXPECT_EQ(CenteredIconOrigin(30, 29, 32, 32).y, -1);
}
