#pragma once

#include <QMetaObject>
#include <QObject>

namespace app {

// A view model announces a change before it makes it, often several in one event: a screen
// redraws once, after the current event, when every change has been made.
class CoalescedRedraw {
 public:
  // `redraw` runs on `context`'s thread after the current event, once for every change asked
  // for until then; nothing runs once `context` is gone.
  template <class Redraw>
  void schedule(QObject* context, Redraw redraw) {
    if (scheduled_) return;
    scheduled_ = true;
    QMetaObject::invokeMethod(
        context,
        [this, redraw] {
          scheduled_ = false;
          redraw();
        },
        Qt::QueuedConnection);
  }

 private:
  bool scheduled_ = false;
};

}  // namespace app
