#pragma once
// The source of a channel group's or channel's data: its kind, bus and names.
#include <cstdint>
#include <string>

#include "mdf/iblock.h"

namespace mdf {

class ISourceInformation : public IBlock {
 public:
  [[nodiscard]] virtual const std::string& Name() const = 0;
  virtual void Name(const std::string& name) = 0;
  [[nodiscard]] virtual const std::string& Path() const = 0;
  virtual void Path(const std::string& path) = 0;
  /// The "TX" element of an XML comment; "" for no comment or a plain-text one.
  [[nodiscard]] virtual std::string Description() const = 0;
  virtual void Description(const std::string& description) = 0;
  /// 0 Other, 1 ECU, 2 Bus, 3 I/O, 4 Tool, 5 User.
  [[nodiscard]] virtual uint8_t Type() const = 0;
  virtual void Type(uint8_t type) = 0;
  /// 0 none, 1 Other, 2 CAN, 3 LIN, 4 MOST, 5 FlexRay, 6 K-Line, 7 Ethernet, 8 USB.
  [[nodiscard]] virtual uint8_t Bus() const = 0;
  virtual void Bus(uint8_t bus) = 0;
  /// Bit 0: simulated source.
  [[nodiscard]] virtual uint8_t Flags() const = 0;
  virtual void Flags(uint8_t flags) = 0;
};

}  // namespace mdf
