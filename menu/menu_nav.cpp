// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::menuNav(const Variant&) { notBuilt("menuNav"); }

}  // namespace kvdn
