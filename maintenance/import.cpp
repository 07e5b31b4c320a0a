// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

Variant DbClass::xlsToDb(const Variant&) { notBuilt("xlsToDb"); }
Variant DbClass::folderFiles(const Variant&, const Variant&) { notBuilt("folderFiles"); }

}  // namespace kvdn
