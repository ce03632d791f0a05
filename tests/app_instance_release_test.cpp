// The application object in-process: how long its claim of an instance number lasts.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "CVelmoUpdatorApp.h"
#include "InstanceMarker.h"

TEST(ApplicationObject, HoldsItsNumberWhileTheWindowRunsAndFreesItAsSoonAsTheWindowHasClosed) {
    bool heldWhileOpen = false;
    std::string suffix;
    CVelmoUpdatorApp app;
    app.m_runMainWindow = [&] {
        const InstanceMarkerResult probe = CreateInstanceMarker(InstanceMarkerName(app.GetInstanceNumber()) + suffix);
        heldWhileOpen = probe.alreadyExists;
        CloseInstanceMarker(probe.handle);
    };
    // Names of the test's own, so that running copies of the program neither see nor disturb it.
    app.m_markerScope = "release test " + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    suffix = " [" + app.m_markerScope + "]";
    EXPECT_FALSE(app.InitInstance());
    ASSERT_EQ(app.GetInstanceNumber(), 1);
    EXPECT_TRUE(heldWhileOpen) << "the number was not held while the window ran";

    // The process has not ended, but a new copy may take the number already.
    const InstanceMarkerResult after = CreateInstanceMarker(InstanceMarkerName(1) + suffix);
    ASSERT_NE(after.handle, NO_INSTANCE_MARKER);
    EXPECT_FALSE(after.alreadyExists) << "the number is still held after the window closed";
    CloseInstanceMarker(after.handle);
}
