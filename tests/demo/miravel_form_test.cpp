// The demo's form on a real display (or Qt's off-screen one): what the user sees when
// the libraries are not where the program expects them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "demo/ConverterPlayerFrm.h"
#include "demo/ConverterPlayerUtils.h"
#include "runtime/FFLoad.h"
#include "runtime/MyUtils.h"

namespace {

template <class T>
T* Control(QWidget& AForm, const char* AName) {
  T* control = AForm.findChild<T*>(AName);
  EXPECT_NE(control, nullptr) << AName;
  return control;
}

// The test program has no LibAV folder beside it: the first Open writes the loader's
// error below the home page, and nothing else happens.
TEST(MiravelForm, MissingLibraryFolderWritesTheLoadersError) {
  ASSERT_FALSE(std::filesystem::exists(MyUtils::ExePath() + "LibAV"));
  ASSERT_FALSE(FFLoad::FFLoader->Loaded(FFLoad::CEncoderLibraries)) << "run this test in a process of its own";
  if (!std::getenv("DISPLAY")) qputenv("QT_QPA_PLATFORM", "offscreen");
  int argc = 1;
  char name[] = "ostrevan_tests";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  {
    TfrmConverterPlayer form;
    form.show();
    auto* memo = Control<QPlainTextEdit>(form, "mmoLog");
    auto* open = Control<QPushButton>(form, "btnOpen");
    auto* start = Control<QPushButton>(form, "btnStart");
    ASSERT_TRUE(memo && open && start);
    const QString home = memo->toPlainText();

    open->click();

    const std::string error = FFLoad::FFLoader->GetLastErrMsg();
    EXPECT_NE(error.find("LibAV"), std::string::npos) << error;
    EXPECT_EQ(memo->toPlainText().toStdString(), home.toStdString() + "\n" + error);
    EXPECT_TRUE(open->isEnabled());
    EXPECT_FALSE(start->isEnabled());
    EXPECT_FALSE(FFLoad::FFLoader->Loaded(FFLoad::CEncoderLibraries));
  }
}

}  // namespace
