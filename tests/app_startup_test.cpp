// What the Qt application is given of the command line when the updater starts: its name alone.
// Each case makes the process's one QApplication itself (no AppTestMain here).
#include <QApplication>
#include <QStyle>
#include <QStyleFactory>
#include <gtest/gtest.h>

#include "ProgramNameOnly.h"

TEST(QtApplication, GetsTheProgramNameAloneSoQtsOwnOptionsChangeNothing) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    // A style other than the default must exist, or "-style" could not show.
    ASSERT_TRUE(QStyleFactory::keys().contains("Windows", Qt::CaseInsensitive));
    char name[] = "tarnet-updater";
    char reverse[] = "-reverse";
    char styleOption[] = "-style";
    char style[] = "windows";
    char* argv[] = {name, reverse, styleOption, style, nullptr};

    ProgramNameOnly arguments(4, argv);
    QApplication application(arguments.Count(), arguments.Values());
    EXPECT_EQ(QApplication::arguments(), QStringList{"tarnet-updater"});
    EXPECT_EQ(QApplication::applicationName(), "tarnet-updater");
    EXPECT_EQ(QApplication::layoutDirection(), Qt::LeftToRight);
    EXPECT_NE(QApplication::style()->name().toLower(), "windows");
}

TEST(QtApplication, StartedWithoutANameIsCalledTarnetUpdater) {
    char* argv[] = {nullptr};
    ProgramNameOnly arguments(0, argv);
    ASSERT_EQ(arguments.Count(), 1);
    EXPECT_STREQ(arguments.Values()[0], "tarnet-updater");
    EXPECT_EQ(arguments.Values()[1], nullptr);
}
