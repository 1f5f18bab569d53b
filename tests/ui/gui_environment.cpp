#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "platform/translations.h"

namespace {

// One QApplication for the whole test program, made before the first test and gone
// before the program's statics are torn down.
class GuiEnvironment final : public testing::Environment {
 public:
  void SetUp() override {
    // The real window, on a platform that needs no display unless a run asks for one.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<QApplication>(argc_, argv_);
    skyloom::InstallTranslation();
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[12] = "skyloom-gui";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new GuiEnvironment);

}  // namespace
