// Placeholder: the file-system class registers here.
#include "component/registration.h"

namespace kvdn {

void registerFileClasses(ClassRegistry&) {}

}  // namespace kvdn
