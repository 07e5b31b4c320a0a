// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::rsDropDownList(const Variant&, const Variant&, const Variant&) { notBuilt("rsDropDownList"); }
Variant DbClass::strDropDownList(Variant&, const Variant&) { notBuilt("strDropDownList"); }

}  // namespace kvdn
