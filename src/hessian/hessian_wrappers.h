// hessian_wrappers.h - Hessian values as a small tree of objects.
//
// A decoded reply or call argument is one of these; a caller tells them apart
// by classname() and dynamic_cast. Containers own their children.
#ifndef BE_HADOOP_HESSIAN_HESSIAN_WRAPPERS_H
#define BE_HADOOP_HESSIAN_HESSIAN_WRAPPERS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hessian {
namespace wrappers {

// Base of every value. Delete through this type: the destructor is virtual.
class Object {
 public:
  virtual ~Object();
  // The value's type: "Null", "Boolean", "Integer", "Long", "Double", "Date",
  // "String", "Xml", "Binary", "List", "Map" or "Ref".
  virtual std::string classname() const = 0;

 protected:
  Object() = default;
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;
};

class Null : public Object {
 public:
  std::string classname() const override;
};

class Boolean : public Object {
 public:
  explicit Boolean(bool value) : value_(value) {}
  std::string classname() const override;
  bool value() const { return value_; }

 private:
  bool value_;
};

class Integer : public Object {
 public:
  explicit Integer(std::int32_t value) : value_(value) {}
  std::string classname() const override;
  std::int32_t value() const { return value_; }

 private:
  std::int32_t value_;
};

class Long : public Object {
 public:
  explicit Long(std::int64_t value) : value_(value) {}
  std::string classname() const override;
  std::int64_t value() const { return value_; }

 private:
  std::int64_t value_;
};

class Double : public Object {
 public:
  explicit Double(double value) : value_(value) {}
  std::string classname() const override;
  double value() const { return value_; }

 private:
  double value_;
};

// Milliseconds since 1970-01-01 00:00 UTC.
class Date : public Object {
 public:
  explicit Date(std::int64_t millis) : millis_(millis) {}
  std::string classname() const override;
  std::int64_t millis() const { return millis_; }

 private:
  std::int64_t millis_;
};

// Text in UTF-8. A byte that does not belong to a valid UTF-8 sequence is sent
// as the Latin-1 character of the same value.
class String : public Object {
 public:
  explicit String(std::string value) : value_(std::move(value)) {}
  std::string classname() const override;
  const std::string& value() const { return value_; }

 private:
  std::string value_;
};

// An XML text (Hessian 1.0 only; Hessian 2.0 sends it as a string).
class Xml : public Object {
 public:
  explicit Xml(std::string value) : value_(std::move(value)) {}
  std::string classname() const override;
  const std::string& value() const { return value_; }

 private:
  std::string value_;
};

// A byte string, any length, any bytes.
class Binary : public Object {
 public:
  explicit Binary(std::string value) : value_(std::move(value)) {}
  std::string classname() const override;
  const std::string& value() const { return value_; }

 private:
  std::string value_;
};

// An ordered list; type() is the sender's type name, empty when untyped.
class List : public Object {
 public:
  explicit List(std::string type = std::string()) : type_(std::move(type)) {}
  std::string classname() const override;
  const std::string& type() const { return type_; }
  std::size_t size() const { return items_.size(); }
  // REQUIRES: i < size(). The list keeps ownership.
  const Object* at(std::size_t i) const { return items_[i].get(); }
  // Takes ownership; a null pointer stands for a Hessian null.
  void add(std::unique_ptr<Object> item) { items_.push_back(std::move(item)); }

 private:
  std::string type_;
  std::vector<std::unique_ptr<Object>> items_;
};

// A map in the order its entries were sent. A Hessian 2.0 object instance is
// decoded as a map typed with its class name, keyed by its field names.
class Map : public Object {
 public:
  explicit Map(std::string type = std::string()) : type_(std::move(type)) {}
  std::string classname() const override;
  const std::string& type() const { return type_; }
  std::size_t size() const { return entries_.size(); }
  // REQUIRES: i < size(). The map keeps ownership.
  const Object* key(std::size_t i) const { return entries_[i].first.get(); }
  const Object* value(std::size_t i) const { return entries_[i].second.get(); }
  // The value of the first entry whose key is a String equal to name; null
  // when there is none.
  const Object* get(std::string_view name) const;
  // Takes ownership of both.
  void add(std::unique_ptr<Object> key, std::unique_ptr<Object> value) {
    entries_.emplace_back(std::move(key), std::move(value));
  }

 private:
  std::string type_;
  std::vector<std::pair<std::unique_ptr<Object>, std::unique_ptr<Object>>> entries_;
};

// A back reference to an earlier list, map or object of the same document,
// by its position in the order they began. Never resolved, so a decoded tree
// has no cycles.
class Ref : public Object {
 public:
  explicit Ref(std::uint32_t index) : index_(index) {}
  std::string classname() const override;
  std::uint32_t index() const { return index_; }

 private:
  std::uint32_t index_;
};

}  // namespace wrappers
}  // namespace hessian

#endif  // BE_HADOOP_HESSIAN_HESSIAN_WRAPPERS_H
