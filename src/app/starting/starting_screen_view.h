#pragma once

#include <QWidget>
#include <memory>

#include "app/preferences/preferences.h"
#include "app/starting/device_status_source.h"
#include "app/starting/starting_screen_rows.h"
#include "platform/foundation/observable.h"

namespace app {

class FitLayout;
class ImageView;

// The screen of every start after the first: the logo, then the screen-recording prompt or
// the state of the companion device. Owns the streaming coordinator (through its device
// status source), which it creates when it is made. Each time it appears it records that the
// first run is over.
class StartingScreenView : public QWidget {
 public:
  StartingScreenView(const DeviceStatusSourceFactory& makeViewModel, PreferencesPtr preferences,
                     std::shared_ptr<ScreenCapturePermission> permission,
                     QWidget* parent = nullptr);
  ~StartingScreenView() override;

  const DeviceStatusSourcePtr& viewModel() const { return viewModel_; }
  StartingRow currentRow() const { return row_; }
  // Reads the permission and the device state again and redraws the state part.
  void rebuild();
  // The permission button's action.
  void requestPermission();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void appeared();

  DeviceStatusSourcePtr viewModel_;
  PreferencesPtr preferences_;
  std::shared_ptr<ScreenCapturePermission> permission_;
  platform::Cancellable statusSubscription_;
  platform::Cancellable failureSubscription_;
  ImageView* background_ = nullptr;
  QWidget* foreground_ = nullptr;
  FitLayout* layout_ = nullptr;
  StartingRow row_ = StartingRow::detached;
};

}  // namespace app
