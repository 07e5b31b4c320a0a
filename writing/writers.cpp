// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::dbWrite(const Variant&) { notBuilt("dbWrite"); }
Variant DbClass::dbWriteGet(const Variant&) { notBuilt("dbWriteGet"); }

}  // namespace kvdn
