// The sockets want a QCoreApplication in the thread that uses them, as the
// program has; gtest's own main doesn't make one.

#include <QCoreApplication>

#include <memory>
#include <gtest/gtest.h>

namespace {

class QtEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { app_ = std::make_unique<QCoreApplication>(argc_, argv_); }
    void TearDown() override { app_.reset(); }

  private:
    int argc_ = 1;
    char name_[16] = "terminal_tests";
    char* argv_[2] = {name_, nullptr};
    std::unique_ptr<QCoreApplication> app_;
};

// gtest owns registered environments.
[[maybe_unused]] const auto* const environment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

} // namespace
