#include "widgets/login-item/login_item_service.h"

#include <mutex>
#include <utility>

#include "widgets/login-item/autostart_service.h"

namespace widgets {
namespace {

struct ProviderState {
  std::mutex mutex;
  LoginItemService::Provider provider;
};

ProviderState& providerState() {
  static ProviderState* state = new ProviderState;
  return *state;
}

}  // namespace

std::shared_ptr<LoginItemService> LoginItemService::mainAppService() {
  Provider provider;
  {
    auto& state = providerState();
    std::lock_guard lock(state.mutex);
    provider = state.provider;
  }
  if (provider) return provider();
  return std::make_shared<AutostartService>(AutostartService::forCurrentProcess());
}

void LoginItemService::setMainAppServiceProvider(Provider provider) {
  auto& state = providerState();
  std::lock_guard lock(state.mutex);
  state.provider = std::move(provider);
}

}  // namespace widgets
