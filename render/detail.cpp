// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::xiangxi(const Variant&, const Variant&, const Variant&, const Variant&) { notBuilt("xiangxi"); }

}  // namespace kvdn
