// A termination request ends the application whatever dialog is open, and never answers the
// dialog in its place.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/alert/alert_creator.h"
#include "app/shell/orvandel_app.h"
#include "app/support/app_test_support.h"

namespace app {
namespace {

// Result of the event loop when the request did not end it: the guard below ended it instead.
constexpr int kStillRunning = 99;

TEST(TerminationRequest, EndsTheEventLoopFromAnyOpenDialog) {
  test::qtApplication();
  struct Row {
    const char* name;
    // Opens the dialog inside the running event loop; `answered` counts its answers.
    std::function<void(QWidget& window, int& answered)> open;
  };
  std::unique_ptr<AlertCreator> creator;
  VersioningPtr bound;
  auto showUpdateAlert = [&](bool mandatory) {
    return [&, mandatory](QWidget& window, int& answered) {
      VersioningBinding binding{[&] { return bound; },
                                [&](VersioningPtr v) {
                                  bound = std::move(v);
                                  creator->refresh();
                                }};
      creator = std::make_unique<AlertCreator>(
          &window, binding, [&answered] { ++answered; }, [&answered] { ++answered; });
      Versioning versioning;
      versioning.isMandatory = mandatory;
      binding.set(std::make_shared<Versioning>(versioning));
      ASSERT_TRUE(creator->currentAlert());
    };
  };
  const Row rows[] = {
      {"optional update alert", showUpdateAlert(false)},
      {"mandatory update alert", showUpdateAlert(true)},
      {"dialog with its own event loop",
       [](QWidget& window, int& answered) {
         QDialog dialog(&window);
         dialog.exec();
         // Reached once the loop ended; the request must not leave the application running.
         (void)answered;
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    QWidget window;
    window.show();
    int answered = 0;
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(kStillRunning); });
    QTimer::singleShot(0, &window, [&] {
      // Asked to end once the dialog is up (from inside its loop, where it has one).
      QTimer::singleShot(0, [] { endOnTerminationRequest(); });
      row.open(window, answered);
    });
    guard.start(20000);
    const int result = QApplication::exec();
    EXPECT_EQ(result, 0) << "the application went on after the request";
    EXPECT_EQ(answered, 0) << "the request answered the dialog";
    creator.reset();
    bound.reset();
    test::processQtEvents();
  }
}

}  // namespace
}  // namespace app
