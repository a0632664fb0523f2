#include "app/update/updator_router.h"

#include <cstdlib>

#include "app/bundle/bundle.h"

namespace app {

std::string_view routerPath(UpdatorCloudCommonRouter router) {
  switch (router) {
    case UpdatorCloudCommonRouter::getVersioning:
      return "/wp-content/uploads/tovarine/TovarineVersioning.json";
    case UpdatorCloudCommonRouter::downloadFileVersioning:
      return "/wp-content/uploads/tovarine/Tovarine.deb";
  }
  return {};
}

const std::map<std::string, std::string>& Updator::headers() {
  static const std::map<std::string, std::string> table{{"Content-Type", "application/json"}};
  return table;
}

std::string updateServerBaseURL() {
  if (const char* env = std::getenv("TOVARINE_UPDATE_URL"); env && *env) return env;
  return Bundle::main()->infoText("TovarineUpdateURL").value_or("");
}

std::string routerAddress(UpdatorCloudCommonRouter router) {
  std::string base = updateServerBaseURL();
  while (!base.empty() && base.back() == '/')
    base.pop_back();
  return base + std::string(routerPath(router));
}

}  // namespace app
