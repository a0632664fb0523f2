#include "halyard/policies/closure_event_monitor.h"

namespace halyard {

bool ClosureEventMonitor::receivesEvent(EventMonitorEvent event) const {
  switch (event) {
    case EventMonitorEvent::requestDidParseResponseValue:
    case EventMonitorEvent::requestDidParseStreamValue:
    case EventMonitorEvent::requestDidParseDownloadResponseValue:
      return false;
    default:
      return true;
  }
}

}  // namespace halyard
