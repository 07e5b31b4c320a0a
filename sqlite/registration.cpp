// The data classes a page creates by ProgID, over the providers of this build.
#include "component/registration.h"
#include "kvdn/provider.h"

namespace kvdn {

void registerDataClasses(ClassRegistry& registry) {
  auto providers = std::make_shared<ProviderRegistry>();
  registerStandardProviders(*providers);
  registerDataClasses(registry, std::move(providers));
}

}  // namespace kvdn
