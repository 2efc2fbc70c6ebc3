#include "app/Application.h"

#include <gtest/gtest.h>

// Widget tests run offscreen; gtest lists them at test time, outside ctest's
// environment, so the platform is chosen here.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    Application app(argc, argv);
    app.loadTurkishTranslation();
    return RUN_ALL_TESTS();
}
