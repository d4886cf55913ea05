#pragma once
// The decoding of a data group through channel observers, one per channel: any layout the
// library reads, and the reference the fast decoding must agree with. Relies on the fill rules
// and the slices.
#include "buslog/iterator_rules.h"
#include "buslog/iterator_slices.h"

namespace mdf {
class IDataGroup;
class MdfReader;
}  // namespace mdf

namespace iterator_detail {

// Reads the data group through channel observers and packs its slices.
void readWithObservers(mdf::MdfReader& reader, mdf::IDataGroup& data_group, const FillMap& table, Gathered& gathered);

}  // namespace iterator_detail
