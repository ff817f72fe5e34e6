// The window tests need one application object for the whole run; the tests themselves run
// on the offscreen platform that ctest sets (QT_QPA_PLATFORM=offscreen).
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <memory>

#include "TempDir.h"

namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // The folders opened last are kept in the user's configuration: here, one of the run's own.
    ::setenv("XDG_CONFIG_HOME", FConfig.Folder().c_str(), 1);
    FApp = std::make_unique<QApplication>(FArgc, FArgv);
  }
  void TearDown() override { FApp.reset(); }

 private:
  int FArgc = 1;
  char FName[16] = "test_app";
  char* FArgv[2] = {FName, nullptr};
  std::unique_ptr<QApplication> FApp;
  TempDir FConfig;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
