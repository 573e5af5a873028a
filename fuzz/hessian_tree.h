// hessian_tree.h - structural equality of decoded Hessian value trees, for
// the round-trip checks of the Hessian fuzz targets.
#ifndef BE_HADOOP_FUZZ_HESSIAN_TREE_H
#define BE_HADOOP_FUZZ_HESSIAN_TREE_H

#include <cstdint>
#include <cstring>

#include "hessian_wrappers.h"

namespace kxfuzz {

// True when both trees hold the same values of the same classes. Doubles
// compare by their bits, so NaN payloads and the sign of zero count.
inline bool same_tree(const hessian::wrappers::Object* a, const hessian::wrappers::Object* b) {
  using namespace hessian::wrappers;
  if (a == nullptr || b == nullptr) {
    // A null child and a Null value are written alike.
    auto is_null = [](const Object* o) { return o == nullptr || dynamic_cast<const Null*>(o); };
    return is_null(a) && is_null(b);
  }
  if (a->classname() != b->classname()) return false;
  if (auto* x = dynamic_cast<const Boolean*>(a)) return x->value() == static_cast<const Boolean*>(b)->value();
  if (auto* x = dynamic_cast<const Integer*>(a)) return x->value() == static_cast<const Integer*>(b)->value();
  if (auto* x = dynamic_cast<const Long*>(a)) return x->value() == static_cast<const Long*>(b)->value();
  if (auto* x = dynamic_cast<const Date*>(a)) return x->millis() == static_cast<const Date*>(b)->millis();
  if (auto* x = dynamic_cast<const Ref*>(a)) return x->index() == static_cast<const Ref*>(b)->index();
  if (auto* x = dynamic_cast<const String*>(a)) return x->value() == static_cast<const String*>(b)->value();
  if (auto* x = dynamic_cast<const Xml*>(a)) return x->value() == static_cast<const Xml*>(b)->value();
  if (auto* x = dynamic_cast<const Binary*>(a)) return x->value() == static_cast<const Binary*>(b)->value();
  if (auto* x = dynamic_cast<const Double*>(a)) {
    const double da = x->value();
    const double db = static_cast<const Double*>(b)->value();
    uint64_t ba, bb;
    std::memcpy(&ba, &da, sizeof ba);
    std::memcpy(&bb, &db, sizeof bb);
    return ba == bb;
  }
  if (auto* x = dynamic_cast<const List*>(a)) {
    auto* y = static_cast<const List*>(b);
    if (x->type() != y->type() || x->size() != y->size()) return false;
    for (size_t i = 0; i < x->size(); ++i)
      if (!same_tree(x->at(i), y->at(i))) return false;
    return true;
  }
  if (auto* x = dynamic_cast<const Map*>(a)) {
    auto* y = static_cast<const Map*>(b);
    if (x->type() != y->type() || x->size() != y->size()) return false;
    for (size_t i = 0; i < x->size(); ++i)
      if (!same_tree(x->key(i), y->key(i)) || !same_tree(x->value(i), y->value(i))) return false;
    return true;
  }
  return dynamic_cast<const Null*>(a) != nullptr;
}

// The Hessian version a reply or call document is read in, from its first
// bytes: 2 for "H" and for a 1.0 header that asks for 2.0, else 1.
inline int document_version(const uint8_t* data, size_t size) {
  if (size >= 1 && data[0] == 'H') return 2;
  if (size >= 1 && data[0] == 'C') return 2;
  if (size >= 2 && data[0] == 'r' && data[1] >= 2) return 2;
  return 1;
}

}  // namespace kxfuzz

#endif  // BE_HADOOP_FUZZ_HESSIAN_TREE_H
