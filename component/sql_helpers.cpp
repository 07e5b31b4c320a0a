// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::findTableName(const Variant&) { notBuilt("findTableName"); }
Variant DbClass::dbShsl(const Variant&) { notBuilt("dbShsl"); }

}  // namespace kvdn
