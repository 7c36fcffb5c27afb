#include <QApplication>

#include <gtest/gtest.h>

// Widgets need a QApplication; it lives as long as the program.
int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
