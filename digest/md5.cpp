// Placeholder: raises until this part is built.
#include "component/registration.h"
#include "kvdn/db_class.h"

namespace kvdn {

std::string Md5Class::md5(const Variant&) { notBuilt("md5"); }
std::string DbClass::md5(const Variant&) { notBuilt("md5"); }
Variant Md5Class::invoke(std::string_view, std::vector<Variant>&) { notBuilt("md5Class.md5"); }

}  // namespace kvdn
