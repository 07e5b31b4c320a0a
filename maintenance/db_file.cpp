// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::createDBfile() { notBuilt("createDBfile"); }
Variant DbClass::backupDBfile() { notBuilt("backupDBfile"); }
Variant DbClass::recoveryDBfile(const Variant&) { notBuilt("recoveryDBfile"); }
Variant DbClass::compactDBfile() { notBuilt("compactDBfile"); }

}  // namespace kvdn
