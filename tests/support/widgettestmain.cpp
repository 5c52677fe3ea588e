// The main() of the control tests: the widgets need a QApplication (offscreen in tests).
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    // Death tests fork; re-executing the binary keeps Qt's threads out of the child.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    return RUN_ALL_TESTS();
}
