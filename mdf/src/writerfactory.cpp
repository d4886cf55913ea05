// Where writers are made: the base class never constructs its kinds.
#include "mdf/mdfwriter.h"
#include "mdf3writer.h"
#include "mdf4writer.h"
#include "mdfbuslogger.h"
#include "mdfconverter.h"

namespace mdf {

std::unique_ptr<MdfWriter> CreateMdfWriter(MdfWriterType type) {
  switch (type) {
    case MdfWriterType::kMdf4Writer:
      return std::make_unique<detail::Mdf4Writer>();
    case MdfWriterType::kMdfBusLogger:
      return std::make_unique<detail::MdfBusLogger>();
    case MdfWriterType::kMdfConverter:
      return std::make_unique<detail::MdfConverter>();
    case MdfWriterType::kMdf3Writer:
      return std::make_unique<detail::Mdf3Writer>();
    default:
      return nullptr;
  }
}

}  // namespace mdf
