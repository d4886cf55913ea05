#pragma once
// Reads a file image from memory through the whole reader, as a user does: the file, every
// block but the data, one observer per channel of every channel group, the data of every
// data group, and then every value in each form, the converted values and the property
// rows of every block. It knows no test framework, so the fuzz targets can use it too.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "mdf/iattachment.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelarray.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelhierarchy.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/ievent.h"
#include "mdf/ifilehistory.h"
#include "mdf/iheader.h"
#include "mdf/imetadata.h"
#include "mdf/isourceinformation.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "mdfblock.h"
#include "support/memorybuffer.h"

namespace test {

struct ReadSteps {
  /// Take the converted values of every observer as a whole.
  bool converted_values = true;
  /// Read every data group once without observers before the read into observers.
  bool read_without_observers = false;
  /// When set, what was read is written here as text, so that two reads can be compared.
  std::ostream* summary = nullptr;
};

/// What the reader answered. A step that was not reached stays false or zero.
struct ReadOutcome {
  bool has_file = false;   // the identification was accepted
  bool info_read = false;  // ReadEverythingButData
  size_t data_groups = 0;
  size_t data_groups_read = 0;  // ReadData true
  size_t observers = 0;
  size_t samples = 0;  // samples whose values were taken, at most detail::kMaxSamplesTouched each
  size_t property_rows = 0;
  [[nodiscard]] bool Succeeded() const { return has_file && info_read && data_groups_read == data_groups; }
};

namespace detail {

// Bounds the value loops, not the reading: big files must still be read whole.
inline constexpr uint64_t kMaxSamplesTouched = 4096;

inline void TouchValues(const mdf::IChannelObserver& observer, ReadOutcome& outcome, std::ostream* summary) {
  const uint64_t samples = observer.NofHeldSamples();
  if (summary != nullptr) *summary << observer.ChannelName() << ' ' << observer.NofSamples() << '/' << samples;
  for (uint64_t sample = 0; sample < samples && sample < kMaxSamplesTouched; ++sample) {
    uint64_t unsigned_value = 0;
    int64_t signed_value = 0;
    double float_value = 0.0;
    std::string text;
    std::vector<uint8_t> bytes;
    const bool valid = observer.GetSampleText(sample, text, 0);
    if (summary != nullptr) *summary << ' ' << valid << text;
    observer.GetByteArray(sample, bytes);
    try {
      observer.GetSampleUnsigned(sample, unsigned_value, 0);
      observer.GetSampleSigned(sample, signed_value, 0);
      observer.GetSampleFloat(sample, float_value, 0);
      observer.ConvertedValue(sample, float_value);
    } catch (const std::exception&) {
      // A text that is no number may throw when it is asked for as one.
    }
    ++outcome.samples;
  }
  if (summary != nullptr) *summary << '\n';
}

inline void TouchProperties(const mdf::IBlock* block, ReadOutcome& outcome) {
  if (block == nullptr) return;
  if (const auto* mdf_block = dynamic_cast<const mdf::detail::MdfBlock*>(block)) {
    std::vector<mdf::BlockProperty> rows;
    mdf_block->GetBlockProperty(rows);
    outcome.property_rows += rows.size();
  }
  if (const mdf::IMetaData* meta = block->MetaDataInterface()) {
    outcome.property_rows += meta->ReadPropertyList().size();
  }
}

// Channel compositions nest; the reader bounds their depth, this walk follows what it built.
inline void TouchChannel(mdf::IChannel& channel, ReadOutcome& outcome) {
  TouchProperties(&channel, outcome);
  TouchProperties(channel.ChannelConversion(), outcome);
  TouchProperties(channel.SourceInformation(), outcome);
  TouchProperties(channel.ChannelArray(), outcome);
  for (mdf::IChannel* member : channel.ChannelCompositions()) {
    if (member != nullptr) TouchChannel(*member, outcome);
  }
}

inline void TouchHeader(const mdf::IHeader& header, ReadOutcome& outcome) {
  TouchProperties(&header, outcome);
  for (const auto* history : header.FileHistories()) TouchProperties(history, outcome);
  for (const auto* attachment : header.Attachments()) TouchProperties(attachment, outcome);
  for (const auto* event : header.Events()) TouchProperties(event, outcome);
  for (const auto* hierarchy : header.ChannelHierarchies()) TouchProperties(hierarchy, outcome);
}

}  // namespace detail

/// Reads the file as a user does; throws nothing the reader does not throw.
inline ReadOutcome ReadAsUser(mdf::MdfReader& reader, const ReadSteps& steps = {}) {
  ReadOutcome outcome;
  mdf::MdfFile* file = reader.GetFile();
  if (file == nullptr) return outcome;
  outcome.has_file = true;
  outcome.info_read = reader.ReadEverythingButData();
  if (const mdf::IHeader* header = reader.FileHeader()) detail::TouchHeader(*header, outcome);

  mdf::DataGroupList groups;
  file->DataGroups(groups);
  for (mdf::IDataGroup* group : groups) {
    if (group == nullptr) continue;
    ++outcome.data_groups;
    detail::TouchProperties(group, outcome);
    for (mdf::IChannelGroup* channel_group : group->ChannelGroups()) {
      if (channel_group == nullptr) continue;
      detail::TouchProperties(channel_group, outcome);
      detail::TouchProperties(channel_group->SourceInformation(), outcome);
      for (mdf::IChannel* channel : channel_group->Channels()) {
        if (channel != nullptr) detail::TouchChannel(*channel, outcome);
      }
    }
    if (steps.read_without_observers) reader.ReadData(*group);
    mdf::ChannelObserverList observers;
    mdf::CreateObserversForDataGroup(*group, observers);
    const bool read = reader.ReadData(*group);
    if (read) ++outcome.data_groups_read;
    if (steps.summary != nullptr) *steps.summary << "data group read " << read << '\n';
    for (const auto& observer : observers) {
      if (!observer) continue;
      ++outcome.observers;
      detail::TouchValues(*observer, outcome, steps.summary);
      if (steps.converted_values) {
        std::vector<double> values;
        observer->ConvertedValues(values);
      }
    }
  }
  if (steps.summary != nullptr) {
    *steps.summary << "info read " << outcome.info_read << ", property rows " << outcome.property_rows << '\n';
  }
  return outcome;
}

/// Reads the image from memory as a user does.
inline ReadOutcome ReadAsUser(std::vector<uint8_t> image, const ReadSteps& steps = {}) {
  mdf::MdfReader reader(std::make_shared<MemoryBuffer>(std::move(image)));
  return ReadAsUser(reader, steps);
}

}  // namespace test
