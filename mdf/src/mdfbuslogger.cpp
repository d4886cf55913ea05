#include "mdfbuslogger.h"

namespace mdf::detail {

// The worker calls this object's passes: it is stopped before any part is destroyed.
MdfBusLogger::~MdfBusLogger() { StopWorkThread(); }

}  // namespace mdf::detail
