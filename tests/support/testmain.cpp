// The main() of every test executable: a QCoreApplication, so that hand-offs and timers
// have an event loop to run in.
#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests fork; re-executing the binary keeps Qt's threads out of the child.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
