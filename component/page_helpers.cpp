// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::getLenTitle(Variant, Variant) { notBuilt("getLenTitle"); }
void DbClass::alert(const Variant&, const Variant&) { notBuilt("alert"); }
Variant DbClass::fromHostRight() { notBuilt("fromHostRight"); }

}  // namespace kvdn
