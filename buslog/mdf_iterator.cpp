// The event iterator's entry: getIterator reads data group after data group (straight from the
// records wherever the layout allows, else through channel observers) and merges the events;
// and the flat functions over the iterator, which never let an exception escape.
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>

#include "buslog/iterator_decoder.h"
#include "buslog/iterator_merge.h"
#include "buslog/iterator_observers.h"
#include "buslog/iterator_rules.h"
#include "buslog/iterator_slices.h"
#include "buslog/iterator_warmer.h"
#include "buslog/mdf_reader.h"
#include "mdf/idatagroup.h"
#include "mdf/iheader.h"
#include "mdf/mdfreader.h"

using namespace iterator_detail;

cMdfReaderIterator_t* cMdfReader_t::getIterator(Decoding decoding) const {
  const mdf::IHeader* header = reader_->FileHeader();
  if (header == nullptr) throw std::runtime_error("Unexpected NULL ptr");
  const FillMap table = buildFillTable();
  Gathered gathered;
  {
    // Events fill fresh blocks; for a large recording they are readied on another thread.
    const BlockWarmer warmer(manyEvents(*header));
    // One data group at a time: what decodes it is released before the next one is read.
    for (mdf::IDataGroup* data_group : header->DataGroups()) {
      if (data_group == nullptr) continue;
      if (decoding == Decoding::kFastest && readFast(*reader_, *data_group, table, gathered)) continue;
      readWithObservers(*reader_, *data_group, table, gathered);
    }
  }

  auto iterator = std::make_unique<cMdfReaderIterator_t>();
  // Room for the longest data an event has: handing out a record then allocates nothing,
  // unless a stage gave the record data bytes of its own.
  if (cStrReserve(&iterator->record.DataBytes, std::numeric_limits<uint8_t>::max()) == nullptr) {
    throw std::bad_alloc();
  }
  if (iterator_damage_.empty()) iterator_damage_ = std::move(gathered.damage);
  mergeGathered(*iterator, gathered);
  return iterator.release();
}

cMdfReaderIterator_t* mdfReaderGetIterator(cMdfReader_t* reader) {
  if (reader == nullptr) return nullptr;
  try {
    return reader->getIterator();
  } catch (const std::bad_alloc&) {
    reader->noteOutOfMemory();
    return nullptr;
  } catch (const std::exception&) {
    return nullptr;
  }
}

cBusMsgHelper_t* mdfReaderIteratorNext(cMdfReaderIterator_t* iterator) {
  return iterator != nullptr ? iterator->Next() : nullptr;
}

uint64_t mdfReaderIteratorFastGroups(const cMdfReaderIterator_t* iterator) {
  return iterator != nullptr ? iterator->fast_groups : 0;
}

void mdfReaderIteratorFree(cMdfReaderIterator_t* iterator) { delete iterator; }
