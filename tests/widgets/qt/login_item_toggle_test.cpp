#include "widgets/login-item/login_item_toggle_widget.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>

#include "platform/foundation/log.h"
#include "widgets/login-item/login_item_service.h"
#include "widgets/qt/support/qt_test_support.h"

namespace widgets {
namespace {

using Status = LoginItemService::Status;

struct ServiceState {
  Status status = Status::notRegistered;
  bool failRegister = false;
  int registrations = 0;
};

class FakeService : public LoginItemService {
 public:
  explicit FakeService(std::shared_ptr<ServiceState> state) : state_(std::move(state)) {}
  Status status() const override { return state_->status; }
  Result registerService() override {
    ++state_->registrations;
    if (state_->failRegister) {
      return std::unexpected(platform::makeError(LoginItemServiceError("refused")));
    }
    state_->status = Status::enabled;
    return {};
  }
  Result unregisterService() override {
    state_->status = Status::notRegistered;
    return {};
  }

 private:
  std::shared_ptr<ServiceState> state_;
};

class LoginItemToggleTest : public testing::Test {
 protected:
  LoginItemToggleTest() {
    widgets_test::ensureApplication();
    LoginItemService::setMainAppServiceProvider(
        [state = state_] { return std::make_shared<FakeService>(state); });
  }
  ~LoginItemToggleTest() override {
    LoginItemService::setMainAppServiceProvider(nullptr);
    setLocalizedStringLookup(nullptr);
  }
  static QString labelText(const LoginItemToggle& toggle) {
    auto* label = qobject_cast<QLabel*>(toggle.label());
    return label ? label->text() : QString();
  }

  std::shared_ptr<ServiceState> state_ = std::make_shared<ServiceState>();
};

TEST_F(LoginItemToggleTest, TheDefaultLabelAndTheSwitchFollowTheService) {
  LoginItemToggle off;
  EXPECT_EQ(labelText(off), "Launch at login");
  EXPECT_FALSE(off.isOn());
  for (Status status : {Status::enabled, Status::requiresApproval, Status::notFound}) {
    state_->status = status;
    LoginItemToggle toggle;
    EXPECT_EQ(toggle.isOn(), status == Status::enabled) << static_cast<int>(status);
  }
}

TEST_F(LoginItemToggleTest, LabelsAreShownVerbatimLookedUpOrBuilt) {
  EXPECT_EQ(labelText(LoginItemToggle(QStringLiteral("START_AT_LOGIN"))), "START_AT_LOGIN");
  EXPECT_EQ(labelText(LoginItemToggle(LocalizedStringKey{"START_AT_LOGIN"})), "START_AT_LOGIN");
  setLocalizedStringLookup([](std::string_view key) {
    return key == "START_AT_LOGIN" ? std::string("Avvia all'accesso") : std::string(key);
  });
  EXPECT_EQ(labelText(LoginItemToggle(LocalizedStringKey{"START_AT_LOGIN"})), "Avvia all'accesso");
  EXPECT_EQ(labelText(LoginItemToggle(QStringLiteral("START_AT_LOGIN"))), "START_AT_LOGIN");

  int built = 0;
  LoginItemToggle custom([&] {
    ++built;
    return new QLabel("custom");
  });
  EXPECT_EQ(built, 1);
  EXPECT_EQ(labelText(custom), "custom");
  EXPECT_EQ(custom.label()->parent(), &custom);
}

TEST_F(LoginItemToggleTest, TurningTheSwitchRegistersAndShowsWhatTheServiceHolds) {
  LoginItemToggle toggle;
  toggle.toggle()->click();
  EXPECT_EQ(state_->registrations, 1);
  EXPECT_EQ(state_->status, Status::enabled);
  EXPECT_TRUE(widgets_test::processEventsUntil([&] { return toggle.isOn(); }));
  toggle.toggle()->click();
  EXPECT_EQ(state_->status, Status::notRegistered);
  EXPECT_TRUE(widgets_test::processEventsUntil([&] { return !toggle.isOn(); }));
}

TEST_F(LoginItemToggleTest, AFailedRegistrationShowsTheSwitchOffAgain) {
  state_->failRegister = true;
  platform::LogCapture capture;
  LoginItemToggle toggle;
  LoginItemToggle other;
  toggle.toggle()->click();
  EXPECT_TRUE(toggle.isOn()) << "the click itself flips the box at first";
  EXPECT_TRUE(widgets_test::processEventsUntil([&] { return !toggle.isOn(); }));
  EXPECT_FALSE(other.isOn());
  EXPECT_TRUE(capture.contains("Failed to enable launch at login: refused"));
}

TEST_F(LoginItemToggleTest, ClickingTheLabelTurnsTheSwitch) {
  LoginItemToggle toggle;
  QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton,
                      Qt::NoButton, Qt::NoModifier);
  QCoreApplication::sendEvent(toggle.label(), &release);
  EXPECT_EQ(state_->registrations, 1);
  EXPECT_TRUE(widgets_test::processEventsUntil([&] { return toggle.isOn(); }));
}

}  // namespace
}  // namespace widgets
