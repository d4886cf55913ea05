#pragma once
// The bus-logger kind of writer: it writes exactly what the MDF 4 writer writes.
#include "mdf4writer.h"

namespace mdf::detail {

class MdfBusLogger : public Mdf4Writer {
 public:
  MdfBusLogger() = default;
  ~MdfBusLogger() override;
};

}  // namespace mdf::detail
