#pragma once
// One entry of a comment's "common_properties" list: an "e" element (a named value) or a
// "tree" element (a named group of entries).
#include <cstdint>
#include <string>
#include <vector>

#include "mdf/numbertext.h"

namespace mdf {

class MetaProperty {
 public:
  [[nodiscard]] const std::string& Name() const { return name_; }
  void Name(const std::string& name) { name_ = name; }
  [[nodiscard]] const std::string& Description() const { return description_; }
  void Description(const std::string& description) { description_ = description; }
  [[nodiscard]] const std::string& Unit() const { return unit_; }
  void Unit(const std::string& unit) { unit_ = unit; }
  [[nodiscard]] const std::string& UnitReference() const { return unit_reference_; }
  void UnitReference(const std::string& unit_reference) { unit_reference_ = unit_reference; }
  /// "integer", "float", "boolean", "string", ... as the writer declared it; not interpreted.
  [[nodiscard]] const std::string& Type() const { return type_; }
  void Type(const std::string& type) { type_ = type; }
  [[nodiscard]] const std::string& Language() const { return language_; }
  void Language(const std::string& language) { language_ = language; }

  [[nodiscard]] std::string Value() const { return value_; }
  /// The value as an unsigned 32-bit number: 0 for an empty text, a text that does not
  /// start with a decimal number, or a number that does not fit.
  [[nodiscard]] uint32_t IntValue() const {
    uint32_t number = 0;
    detail::ParseNumberText(value_, number);
    return number;
  }
  template <typename T>
  void SetValue(const T& value) {
    value_ = detail::ValueToText(value);
  }

  [[nodiscard]] bool ReadOnly() const { return read_only_; }
  void ReadOnly(bool read_only) { read_only_ = read_only; }
  /// The "ci" attribute; -1 when absent.
  [[nodiscard]] int32_t Ci() const { return ci_; }
  void Ci(int32_t ci) { ci_ = ci; }

  [[nodiscard]] const std::vector<MetaProperty>& Children() const { return children_; }
  [[nodiscard]] std::vector<MetaProperty>& Children() { return children_; }
  void AddChild(MetaProperty child) { children_.push_back(std::move(child)); }

 private:
  std::string name_;
  std::string description_;
  std::string unit_;
  std::string unit_reference_;
  std::string type_;
  std::string language_;
  std::string value_;
  bool read_only_ = false;
  int32_t ci_ = -1;
  std::vector<MetaProperty> children_;
};

}  // namespace mdf
