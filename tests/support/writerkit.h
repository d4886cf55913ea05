#pragma once
// The writer tests' kit: a writer kind with its worker's passes and queue in reach, the
// independent file checker and its agreement with a read-back of a written image (readback.h).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "datablock.h"
#include "dg4block.h"
#include "dl4block.h"
#include "hl4block.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelgroup.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "mdf/mdfwriter.h"
#include "support/mdf4check.h"
#include "support/memorybuffer.h"
#include "support/readback.h"

namespace test {

/// A writer kind whose worker's passes a test runs itself, on its own thread, so that
/// what one pass does is seen without waiting for the worker. Give it a long period
/// (WaitingWorker) so that the worker itself never runs a pass in between.
template <typename Kind>
class WriterProbe : public Kind {
 public:
  using Kind::Kind;
  using Kind::PrepareForWriting;
  using Kind::WriteSignalData;

  /// One pass as the worker runs it in the state.
  void RunPass(mdf::WriterState state) {
    std::unique_lock lock(this->locker_);
    switch (state) {
      case mdf::WriterState::kInit:
        this->TrimQueue();
        break;
      case mdf::WriterState::kStartMeas:
        this->SaveQueue(lock);
        break;
      case mdf::WriterState::kStopMeas:
        this->FlushQueue(lock);
        break;
      default:
        break;
    }
  }
  /// The times of the queued samples, oldest first.
  std::vector<uint64_t> QueuedTimes() {
    std::lock_guard lock(this->locker_);
    std::vector<uint64_t> times;
    this->sample_queue_.ForEach([&times](const mdf::SampleQueue::View& sample) { times.push_back(sample.timestamp); });
    return times;
  }
  /// The queued samples' times, record ids and record bytes.
  std::vector<mdf::SampleRecord> QueuedSamples() {
    std::lock_guard lock(this->locker_);
    std::vector<mdf::SampleRecord> samples;
    this->sample_queue_.ForEach([&samples](const mdf::SampleQueue::View& view) {
      auto& sample = samples.emplace_back();
      sample.timestamp = view.timestamp;
      sample.record_id = view.record_id;
      sample.record_buffer.Assign(view.record, view.record_size);
    });
    return samples;
  }
  [[nodiscard]] uint64_t QueuedBytes() const { return this->sample_queue_size_; }
  /// Queues a record as SaveSample would, VLSD part and all.
  void Enqueue(mdf::SampleRecord sample) {
    this->sample_queue_size_ += sample.Size();
    std::lock_guard lock(this->locker_);
    this->sample_queue_.push_back(sample);
  }
  uint64_t EstimatedBlocks() {
    std::lock_guard lock(this->locker_);
    return this->EstimateBlockCount();
  }
  /// Save passes ended so far, the worker's and RunPass's.
  [[nodiscard]] uint64_t SavePasses() const { return save_passes_; }
  /// Waits until `count` save passes have ended; bounded, so that a worker that never
  /// wakes fails the test instead of hanging it.
  bool WaitForSavePasses(uint64_t count) const {
    for (int tries = 0; tries < 30000 && save_passes_ < count; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return save_passes_ >= count;
  }

 protected:
  void SaveQueue(std::unique_lock<std::mutex>& lock) override {
    Kind::SaveQueue(lock);
    ++save_passes_;
  }

 private:
  std::atomic<uint64_t> save_passes_{0};
};

/// A period no test lasts: the worker writes only when it is stopped (the converter's
/// also when signalled).
inline constexpr std::chrono::hours kWaitingWorker{1};

/// Prints every value the checker decodes as "data group, channel, sample, element, value",
/// tab-separated: numbers as Python writes them, texts and hex byte texts quoted.
inline constexpr const char* kValueLister = R"PY(
import json, sys
def walk(channels, dg):
    for channel in channels:
        for sample, value in enumerate(channel.get('raw') or []):
            for element, item in enumerate(value if isinstance(value, list) else [value]):
                text = json.dumps(item, ensure_ascii=False) if isinstance(item, str) else repr(item)
                print(dg, channel['name'], sample, element, text, sep='	')
        walk(channel.get('members') or [], dg)
for dg, group in enumerate(json.load(sys.stdin)['data_groups']):
    for channel_group in group['channel_groups']:
        walk(channel_group['channels'], dg)
)PY";

/// Every value the checker decodes from the file equals the value our reader gives for
/// it. Returns the number of values compared.
inline size_t ExpectCheckerAgrees(const std::string& tool, const std::string& file, const ReadBack& read) {
  const std::string script = file + ".py";
  std::ofstream(script) << kValueLister;
  const CheckResult listed = RunCommand("'" + tool + "' --values '" + file + "' | python3 '" + script + "'");
  EXPECT_EQ(listed.status, 0) << listed.output.substr(0, 2000);
  std::istringstream lines(listed.output);
  size_t compared = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    size_t data_group = 0;
    uint64_t sample = 0;
    uint64_t element = 0;
    std::string name;
    std::string value;
    fields >> data_group;
    fields.ignore(1);
    std::getline(fields, name, '\t');
    fields >> sample >> element;
    fields.ignore(1);
    std::getline(fields, value);
    const mdf::IChannelObserver* observer = read.Observer(data_group, name);
    if (observer == nullptr) {
      ADD_FAILURE() << "no observer for " << name << " in data group " << data_group;
      continue;
    }
    SCOPED_TRACE(name + " sample " + std::to_string(sample) + " element " + std::to_string(element));
    const uint8_t type = observer->Channel().DataType();
    if (type >= 10 && type <= 14) {
      std::vector<uint8_t> bytes;
      observer->GetSampleByteArray(sample, bytes);
      static constexpr char kHex[] = "0123456789abcdef";
      std::string hex = "\"";
      for (const uint8_t byte : bytes) hex += {kHex[byte >> 4], kHex[byte & 15]};
      EXPECT_EQ(value, hex + "\"");
    } else if (type >= 6) {
      std::string text;
      observer->GetSampleText(sample, text, element);
      EXPECT_EQ(value, "\"" + text + "\"");
    } else if (type >= 4) {
      double expected = 0;
      std::from_chars(value.data(), value.data() + value.size(), expected);
      double actual = 0;
      observer->GetSampleFloat(sample, actual, element);
      EXPECT_EQ(actual, expected);
    } else if (type >= 2) {
      int64_t actual = 0;
      observer->GetSampleSigned(sample, actual, element);
      EXPECT_EQ(value, std::to_string(actual));
    } else {
      uint64_t actual = 0;
      observer->GetSampleUnsigned(sample, actual, element);
      EXPECT_EQ(value, std::to_string(actual));
    }
    ++compared;
  }
  std::remove(script.c_str());
  return compared;
}

struct DataBlockEntry {
  std::string type;
  uint64_t size = 0;    // uncompressed
  uint64_t offset = 0;  // in the data list
};
using ListLayout = std::vector<std::vector<DataBlockEntry>>;  // per data list, in chain order

/// The data lists under a data group's HL block as the reader finds them.
inline ListLayout ReadListLayout(const std::vector<uint8_t>& image, size_t data_group_index = 0) {
  mdf::MdfReader reader(std::make_shared<MemoryBuffer>(image));
  EXPECT_TRUE(reader.ReadEverythingButData());
  mdf::DataGroupList groups;
  reader.GetFile()->DataGroups(groups);
  ListLayout layout;
  const auto* data_group = dynamic_cast<const mdf::detail::Dg4Block*>(groups.at(data_group_index));
  const auto& blocks = data_group->DataBlockList();
  EXPECT_EQ(blocks.size(), 1U);
  const auto* header_list = dynamic_cast<const mdf::detail::Hl4Block*>(blocks.at(0).get());
  if (header_list == nullptr) {
    ADD_FAILURE() << "the data group's data is no HL block";
    return layout;
  }
  for (const auto& list_block : header_list->DataBlockList()) {
    const auto* list = dynamic_cast<const mdf::detail::Dl4Block*>(list_block.get());
    auto& entries = layout.emplace_back();
    for (size_t i = 0; i < list->DataBlockList().size(); ++i) {
      const auto* block = dynamic_cast<const mdf::detail::DataBlock*>(list->DataBlockList()[i].get());
      entries.push_back({block->BlockType(), block->DataSize(), list->Offsets().at(i)});
    }
  }
  return layout;
}

}  // namespace test
