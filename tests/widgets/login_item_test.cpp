#include "widgets/login-item/login_item.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/log.h"
#include "widgets/login-item/autostart_service.h"
#include "widgets/login-item/login_item_service.h"
#include "widgets/support/temp_folder.h"

namespace widgets {
namespace {

using Status = LoginItemService::Status;
using widgets_test::ScopedEnvironment;

// What the fake desktop service holds and everything asked of it, shared by the service
// objects it hands out (a new one is fetched for every step).
struct ServiceScript {
  Status status = Status::notRegistered;
  std::optional<std::string> registerError;
  std::optional<std::string> unregisterError;
  std::vector<std::string> events;
};

class FakeService : public LoginItemService {
 public:
  explicit FakeService(std::shared_ptr<ServiceScript> script) : script_(std::move(script)) {}
  Status status() const override {
    script_->events.push_back("status");
    return script_->status;
  }
  Result registerService() override {
    script_->events.push_back("register");
    if (script_->registerError) {
      return std::unexpected(platform::makeError(LoginItemServiceError(*script_->registerError)));
    }
    script_->status = Status::enabled;
    return {};
  }
  Result unregisterService() override {
    script_->events.push_back("unregister");
    if (script_->unregisterError) {
      return std::unexpected(platform::makeError(LoginItemServiceError(*script_->unregisterError)));
    }
    script_->status = Status::notRegistered;
    return {};
  }

 private:
  std::shared_ptr<ServiceScript> script_;
};

class LoginItemTest : public testing::Test {
 protected:
  LoginItemTest() {
    LoginItemService::setMainAppServiceProvider(
        [script = script_] { return std::make_shared<FakeService>(script); });
    notices_ = LoginItem::sharedObservable()->objectWillChange().subscribe(
        [script = script_] { script->events.push_back("notice"); });
  }
  ~LoginItemTest() override { LoginItemService::setMainAppServiceProvider(nullptr); }

  std::vector<std::string> events() const { return script_->events; }
  std::shared_ptr<ServiceScript> script_ = std::make_shared<ServiceScript>();
  platform::Cancellable notices_;
};

using Events = std::vector<std::string>;

TEST_F(LoginItemTest, EnablingWhileEnabledReRegisters) {
  script_->status = Status::enabled;
  LoginItem::setEnabled(true);
  EXPECT_EQ(events(), (Events{"notice", "status", "unregister", "register"}));
}

TEST_F(LoginItemTest, EnablingFromAnyOtherStatusRegistersOnce) {
  for (Status status : {Status::notRegistered, Status::requiresApproval, Status::notFound}) {
    script_->status = status;
    script_->events.clear();
    LoginItem::setEnabled(true);
    EXPECT_EQ(events(), (Events{"notice", "status", "register"})) << static_cast<int>(status);
  }
}

TEST_F(LoginItemTest, DisablingUnregistersAndLogsAFailureWithItsDescription) {
  script_->unregisterError = "no such job";
  platform::LogCapture capture;
  LoginItem::setEnabled(false);
  EXPECT_EQ(events(), (Events{"notice", "unregister"}));
  EXPECT_EQ(capture.text(), "Failed to disable launch at login: no such job\n");
}

TEST_F(LoginItemTest, AFailedRegistrationIsLoggedAfterTheNoticeHasGoneOut) {
  script_->registerError = "operation not permitted";
  platform::LogCapture capture;
  LoginItem::setEnabled(true);
  EXPECT_EQ(events().front(), "notice");
  EXPECT_EQ(capture.text(), "Failed to enable launch at login: operation not permitted\n");
  EXPECT_FALSE(LoginItem::isEnabled());
}

TEST_F(LoginItemTest, AFailedPreliminaryUnregisterIsDroppedSilently) {
  script_->status = Status::enabled;
  script_->unregisterError = "busy";
  platform::LogCapture capture;
  LoginItem::setEnabled(true);
  EXPECT_EQ(events(), (Events{"notice", "status", "unregister", "register"}));
  EXPECT_EQ(capture.text(), "");
}

TEST_F(LoginItemTest, OnlyTheEnabledStatusReadsAsEnabled) {
  for (auto [status, enabled] :
       {std::pair{Status::notRegistered, false}, std::pair{Status::enabled, true},
        std::pair{Status::requiresApproval, false}, std::pair{Status::notFound, false}}) {
    script_->status = status;
    EXPECT_EQ(LoginItem::isEnabled(), enabled) << static_cast<int>(status);
    EXPECT_EQ(LoginItem::sharedObservable()->isEnabled(), enabled);
  }
}

TEST_F(LoginItemTest, TheObservablePropertyForwardsWrites) {
  LoginItem::sharedObservable()->setIsEnabled(true);
  LoginItem::sharedObservable()->setIsEnabled(false);
  EXPECT_EQ(events(), (Events{"notice", "status", "register", "notice", "unregister"}));
}

TEST(LoginItemLaunchMarker, IsTakenOnceAndRemovedFromTheEnvironment) {
  ScopedEnvironment marker(AutostartService::kLaunchMarkerVariable, "1");
  EXPECT_TRUE(LoginItem::takeLaunchMarker());
  EXPECT_EQ(std::getenv(AutostartService::kLaunchMarkerVariable), nullptr);
  EXPECT_FALSE(LoginItem::takeLaunchMarker());
}

TEST(LoginItemLaunchMarker, OtherValuesDoNotCountButAreRemovedToo) {
  for (const char* value : {"0", "", "yes", "11"}) {
    ScopedEnvironment marker(AutostartService::kLaunchMarkerVariable, value);
    EXPECT_FALSE(LoginItem::takeLaunchMarker()) << value;
    EXPECT_EQ(std::getenv(AutostartService::kLaunchMarkerVariable), nullptr);
  }
  ScopedEnvironment none(AutostartService::kLaunchMarkerVariable, std::nullopt);
  EXPECT_FALSE(LoginItem::takeLaunchMarker());
}

TEST(LoginItemLaunchMarker, TheAnswerIsReadOnceForTheProcess) {
  ScopedEnvironment marker(AutostartService::kLaunchMarkerVariable, "1");
  EXPECT_TRUE(LoginItem::wasLaunchedAsLoginItem());
  EXPECT_EQ(std::getenv(AutostartService::kLaunchMarkerVariable), nullptr);
  ::setenv(AutostartService::kLaunchMarkerVariable, "0", 1);
  EXPECT_TRUE(LoginItem::wasLaunchedAsLoginItem());
}

}  // namespace
}  // namespace widgets
