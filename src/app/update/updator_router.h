#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace app {

// The two resources of the update server.
enum class UpdatorCloudCommonRouter {
  getVersioning,           // the update description (JSON)
  downloadFileVersioning,  // the installer disk image
};

// The path of a resource on the update server.
std::string_view routerPath(UpdatorCloudCommonRouter router);

// A description of a request to the update server. Requests are built from the router alone.
class APIResource {
 public:
  virtual ~APIResource() = default;
  virtual UpdatorCloudCommonRouter router() const = 0;
};

class UpdatorCloudCommonResource final : public APIResource {
 public:
  explicit UpdatorCloudCommonResource(UpdatorCloudCommonRouter router) : router_(router) {}
  UpdatorCloudCommonRouter router() const override { return router_; }

 private:
  UpdatorCloudCommonRouter router_;
};

// The header fields every request to the update server carries.
struct Updator {
  static const std::map<std::string, std::string>& headers();  // "Content-Type": JSON
};

// The update server's base address: TOVARINE_UPDATE_URL when set and not empty, else the
// bundle's "TovarineUpdateURL"; empty when neither names one.
std::string updateServerBaseURL();

// The base address joined with the resource's path.
std::string routerAddress(UpdatorCloudCommonRouter router);

}  // namespace app
