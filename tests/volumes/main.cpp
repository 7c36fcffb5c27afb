#include <QCoreApplication>

#include <gtest/gtest.h>

// The watcher and the fake UDisks2 service need an event loop, so every test runs inside one
// QCoreApplication that lives as long as the program.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
