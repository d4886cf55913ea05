#pragma once
// The fast decoding of a data group: one whole-record observer applies a plan per bus-event
// channel group straight to the record bytes, on the relay's decoding thread, and packs the
// events into the groups' slices. It takes a data group only when every value its plans read
// is one the channel observers would give the same way. Relies on the fill rules, the slices
// and the relay.
#include "buslog/iterator_rules.h"
#include "buslog/iterator_slices.h"

namespace mdf {
class IDataGroup;
class MdfReader;
}  // namespace mdf

namespace iterator_detail {

// Reads the data group straight from its records; false when it needs the observers.
bool readFast(mdf::MdfReader& reader, mdf::IDataGroup& data_group, const FillMap& table, Gathered& gathered);

}  // namespace iterator_detail
