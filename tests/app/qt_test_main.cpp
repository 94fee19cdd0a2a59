// The window's tests need one QApplication for the whole program. They run headless
// (scripted dialogs, the offscreen platform) also when started by hand or by the test
// discovery, which does not pass the test environment.
#include <gtest/gtest.h>
#include <QApplication>

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
