// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::dbSelect(const Variant&, const Variant&, const Variant&, const Variant&, const Variant&, const Variant&, const Variant&, const Variant&) { notBuilt("dbSelect"); }

}  // namespace kvdn
