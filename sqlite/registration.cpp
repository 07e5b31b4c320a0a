// Placeholder: the data classes register here.
#include "component/registration.h"

namespace kvdn {

void registerDataClasses(ClassRegistry&) {}

}  // namespace kvdn
