#pragma once
// MDF 3 channel extension block "CE": where a channel's values come from, for a DIM module
// (type 2) or a Vector CAN message (type 19). Only read: a channel owns one only after
// reading it through a non-zero link, and never writes it again.
#include <cstdint>
#include <string>

#include "mdfblock.h"

namespace mdf::detail {

class Ce3Block : public MdfBlock {
 public:
  static constexpr uint16_t kDimExtension = 2;
  static constexpr uint16_t kVectorCanExtension = 19;

  /// Reads the type and the fields of a DIM or CAN extension; other types have none here.
  size_t Read(std::streambuf& buffer) override;

  [[nodiscard]] uint16_t ExtensionType() const { return type_; }
  // DIM extension (type 2).
  [[nodiscard]] uint16_t ModuleNumber() const { return module_number_; }
  [[nodiscard]] uint32_t Address() const { return address_; }
  [[nodiscard]] const std::string& Description() const { return description_; }
  [[nodiscard]] const std::string& EcuId() const { return ecu_id_; }
  // Vector CAN extension (type 19).
  [[nodiscard]] uint32_t CanId() const { return can_id_; }
  [[nodiscard]] uint32_t CanIndex() const { return can_index_; }
  [[nodiscard]] const std::string& MessageName() const { return message_name_; }
  [[nodiscard]] const std::string& SenderName() const { return sender_name_; }

 private:
  uint16_t type_ = 0;
  uint16_t module_number_ = 0;
  uint32_t address_ = 0;
  std::string description_;
  std::string ecu_id_;
  uint32_t can_id_ = 0;
  uint32_t can_index_ = 0;
  std::string message_name_;
  std::string sender_name_;
};

}  // namespace mdf::detail
