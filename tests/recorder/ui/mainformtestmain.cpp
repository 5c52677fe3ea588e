// The main() of the window's tests: the program's own application object, and the skin and
// help files from the source tree.
#include "recorder/ui/application.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    qputenv("ORVANTA_DATA_DIR", ORVANTA_SOURCE_DATA);
    OrvantaApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
