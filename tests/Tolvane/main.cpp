#include <QCoreApplication>

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/TempDir.h"

// The models post their outcomes to the application object's thread, so every test runs inside
// one QCoreApplication that lives as long as the program.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Real jobs record their stages in a data folder of the tests' own, never the user's.
    const tolvane::test::TempDir dataFolder;
    ::setenv("XDG_DATA_HOME", dataFolder.path().c_str(), 1);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
