// The views' tests run in one QApplication on the offscreen platform, with the panel's look.
#include "panel/views/appearance.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    korvane::views::applyDarkAppearance(app);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
