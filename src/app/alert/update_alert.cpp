#include "app/alert/update_alert.h"

#include "app/bundle/localization.h"

namespace app {

UpdateAlertContent updateAlertContent(const Versioning& versioning) {
  const bool mandatory = versioning.isMandatory.value_or(false);
  UpdateAlertContent content;
  content.title =
      localizedString(mandatory ? "ALERT_MANDATORY_UPDATE_TITLE" : "ALERT_OPTIONAL_UPDATE_TITLE");
  content.message = localizedString(mandatory ? "ALERT_MANDATORY_UPDATE_DESCRIPTION"
                                              : "ALERT_OPTIONAL_UPDATE_DESCRIPTION");
  content.buttonKeys = {"OK"};
  if (!mandatory) content.buttonKeys.emplace_back("Cancel");
  return content;
}

void pressUpdateAlertButton(const VersioningBinding& binding, const std::function<void()>& action) {
  binding.set(nullptr);
  if (action) action();
}

}  // namespace app
