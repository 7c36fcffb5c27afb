#include <QApplication>

#include <gtest/gtest.h>

// Widgets need a QApplication; it lives as long as the program. The tests draw nowhere: without
// a platform chosen (test discovery runs the program with a bare environment) it is offscreen.
int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
