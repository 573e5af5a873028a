#include "hessian_wrappers.h"

namespace hessian {
namespace wrappers {

Object::~Object() = default;

std::string Null::classname() const { return "Null"; }
std::string Boolean::classname() const { return "Boolean"; }
std::string Integer::classname() const { return "Integer"; }
std::string Long::classname() const { return "Long"; }
std::string Double::classname() const { return "Double"; }
std::string Date::classname() const { return "Date"; }
std::string String::classname() const { return "String"; }
std::string Xml::classname() const { return "Xml"; }
std::string Binary::classname() const { return "Binary"; }
std::string List::classname() const { return "List"; }
std::string Map::classname() const { return "Map"; }
std::string Ref::classname() const { return "Ref"; }

const Object* Map::get(std::string_view name) const {
  for (const auto& entry : entries_) {
    const auto* key = dynamic_cast<const String*>(entry.first.get());
    if (key != nullptr && key->value() == name) return entry.second.get();
  }
  return nullptr;
}

}  // namespace wrappers
}  // namespace hessian
