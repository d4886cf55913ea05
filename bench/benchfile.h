#pragma once
// Writes large MDF 4 files for the reading benchmarks block by block, straight to disk, so
// that a file of several hundred megabytes is never held in memory. The blocks are laid out
// by the test kit's image writer (not by the library's writers), as the tests' are.
#include <zlib.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "benchchild.h"
#include "mdf/ichannel.h"
#include "mdf/ichannelobserver.h"
#include "mdf/idatagroup.h"
#include "mdf/mdffile.h"
#include "mdf/mdfreader.h"
#include "support/loggerimage.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

inline void PutLe(Bytes& dest, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) dest.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
inline void PutF64(Bytes& dest, double value) {
  uint64_t bits = 0;
  static_assert(sizeof(bits) == sizeof(value));
  __builtin_memcpy(&bits, &value, sizeof(bits));
  PutLe(dest, bits, 8);
}

/// A file that is removed when the object ends. Its blocks are laid out by the test kit's
/// image writer, straight into the file; texts are padded to 8 bytes inside their blocks.
class BlockFile {
 public:
  explicit BlockFile(const std::string& stem)
      : name_("/tmp/" + stem + "_" + std::to_string(::getpid()) + ".mf4"),
        out_(name_, std::ios::binary | std::ios::trunc | std::ios::in | std::ios::out),
        output_(out_),
        image_(output_, true) {
    if (!out_) throw std::runtime_error("cannot create " + name_);
    image_.Identification("MDF     ", "4.11    ", 411, "bench   ", 0);  // version and program padded with spaces
    image_.Header(1600000000000000000ULL, "", {});                      // at 64; its first data group is patched in
    Check();
  }
  ~BlockFile() {
    out_.close();
    std::remove(name_.c_str());
  }
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;

  [[nodiscard]] const std::string& Name() const { return name_; }
  /// The end of the last block.
  [[nodiscard]] uint64_t Size() const { return output_.Size(); }
  [[nodiscard]] test::ImageWriter& Image() { return image_; }

  /// Appends a block at the next 8-byte boundary; returns its position.
  uint64_t Block(const char* id, const std::vector<uint64_t>& links, const Bytes& data) {
    return Check(image_.Block(id, Links(links), data));
  }
  uint64_t Text(const std::string& text) { return Check(image_.Text("##TX", text)); }
  /// A DT block of the bytes, or a DZ block of them deflated.
  uint64_t DataBlock(const Bytes& data, bool zipped) {
    if (!zipped) return Check(image_.Block("##DT", {}, data));
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes packed(size);
    if (compress2(packed.data(), &size, data.data(), static_cast<uLong>(data.size()), 1) != Z_OK) {
      throw std::runtime_error("deflate failed");
    }
    packed.resize(size);
    return Check(image_.Zipped(packed, data.size()));
  }
  /// A DL block listing the blocks with the offsets of their data.
  uint64_t DataList(const std::vector<uint64_t>& blocks, const std::vector<uint64_t>& offsets) {
    return Check(image_.DataList(Links(blocks), offsets));
  }
  /// Overwrites link `index` of the block at `position`.
  void PatchLink(uint64_t position, size_t index, uint64_t link) {
    image_.PatchLink(static_cast<int64_t>(position), index, static_cast<int64_t>(link));
    Check();
  }
  void Flush() {
    out_.flush();
    Check();
  }

  /// Block positions as the image writer's links.
  static std::vector<int64_t> Links(const std::vector<uint64_t>& positions) {
    return {positions.begin(), positions.end()};
  }

 private:
  uint64_t Check(int64_t position = 0) {
    if (!out_) throw std::runtime_error("cannot write " + name_);
    return static_cast<uint64_t>(position);
  }

  std::string name_;
  std::fstream out_;
  test::StreamOutput output_;
  test::ImageWriter image_;
};

/// One channel of a channel group as the benchmark files lay them out.
struct ChannelSpec {
  std::string name;
  uint8_t type = 0;  // 0 fixed, 1 VLSD, 2 master
  uint8_t sync = 0;
  uint8_t data_type = 0;
  uint32_t byte_offset = 0;
  uint8_t bit_offset = 0;
  uint32_t bit_count = 0;
  uint32_t flags = 0;
  int vlsd_group = -1;                   // VLSD: index of the group holding the values
  std::vector<ChannelSpec> composition;  // members of a composed channel
};

/// The channels as the image writer takes them: no conversions, sync and flags as given.
inline std::vector<test::ImageChannel> ImageChannels(const std::vector<ChannelSpec>& channels) {
  std::vector<test::ImageChannel> image;
  for (const ChannelSpec& spec : channels) {
    test::ImageChannel channel =
        test::ImageField(spec.name, spec.data_type, spec.byte_offset, spec.bit_offset, spec.bit_count);
    channel.type = spec.type;
    channel.sync = spec.sync;
    channel.flags = spec.flags;
    channel.vlsd_group = spec.vlsd_group;
    channel.members = ImageChannels(spec.composition);
    image.push_back(std::move(channel));
  }
  return image;
}

/// Writes the channel chain (members first, so each knows its successor); returns the first.
/// `groups` holds the positions of the channel groups written so far.
inline uint64_t WriteChannels(BlockFile& file, const std::vector<ChannelSpec>& channels,
                              const std::vector<uint64_t>& groups) {
  const int64_t first = file.Image().Channels(ImageChannels(channels), BlockFile::Links(groups));
  file.Flush();
  return static_cast<uint64_t>(first);
}

struct GroupSpec {
  std::string name;
  uint64_t record_id = 0;
  uint64_t cycles = 0;
  uint16_t flags = 0;  // 1 VLSD
  uint32_t data_bytes = 0;
  std::vector<ChannelSpec> channels;
};

/// Writes the channel groups and the data group (record id size 1) over the data block at
/// `data`, and links it as the header's first data group; returns its position. The groups
/// are written last to first: a VLSD channel names a group after its own.
inline uint64_t WriteDataGroup(BlockFile& file, const std::vector<GroupSpec>& groups, uint64_t data) {
  std::vector<test::ImageGroup> image_groups;
  for (const GroupSpec& spec : groups) {
    test::ImageGroup group;
    group.name = spec.name;
    group.record_id = spec.record_id;
    group.cycles = spec.cycles;
    group.flags = spec.flags;
    group.data_bytes = spec.data_bytes;
    group.channels = ImageChannels(spec.channels);
    image_groups.push_back(std::move(group));  // no bus source
  }
  test::ImageWriter& image = file.Image();
  const uint64_t dg = static_cast<uint64_t>(image.DataGroup(1, image.Groups(image_groups), static_cast<int64_t>(data)));
  file.PatchLink(64, 0, dg);
  file.Flush();
  return dg;
}

/// Cuts a record stream into data blocks of about `block_size` bytes (records cross the
/// block borders) and lists them in a DL block.
class DataWriter {
 public:
  DataWriter(BlockFile& file, uint64_t block_size, bool zipped)
      : file_(file), block_size_(block_size), zipped_(zipped) {}
  Bytes& Stream() { return stream_; }
  /// Writes every whole block the stream holds.
  void Drain(bool last) {
    while (stream_.size() >= block_size_ || (last && !stream_.empty())) {
      const uint64_t size = std::min<uint64_t>(stream_.size(), block_size_);
      const Bytes block(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(size));
      stream_.erase(stream_.begin(), stream_.begin() + static_cast<std::ptrdiff_t>(size));
      blocks_.push_back(file_.DataBlock(block, zipped_));
      offsets_.push_back(data_size_);
      data_size_ += size;
    }
  }
  uint64_t Finish() {
    Drain(true);
    return file_.DataList(blocks_, offsets_);
  }
  [[nodiscard]] uint64_t DataSize() const { return data_size_; }

 private:
  BlockFile& file_;
  uint64_t block_size_;
  bool zipped_;
  Bytes stream_;
  std::vector<uint64_t> blocks_;
  std::vector<uint64_t> offsets_;
  uint64_t data_size_ = 0;
};

/// What one read of a file cost. Each read runs in a child process, so that its peak
/// memory is its own: "peak_growth" is what the reading of the data added to the memory the
/// opened file and the new observers held, "values" what the observers' values need at
/// least, "peak" the process's whole peak.
struct ReadResult {
  double seconds = 0;
  double peak_growth_mib = 0;
  double values_mib = 0;
  double peak_mib = 0;
  bool ok = false;
};

using Attach = std::function<void(mdf::IDataGroup&, mdf::ChannelObserverList&)>;

// The bytes the observer's values take at least: per held sample one value of its type (a
// byte array's own length) and one valid flag, and for a VLSD channel the offset its record
// gave.
inline double ValueBytes(const mdf::IChannelObserver& observer) {
  const mdf::IChannel& channel = observer.Channel();
  const uint8_t type = channel.DataType();
  const uint32_t bits = channel.BitCount();
  const auto samples = static_cast<double>(observer.NofHeldSamples());
  double bytes = samples / 8 + (channel.ChannelType() == 1 ? 8 * samples : 0);
  if (type >= 10 && type <= 12) {
    std::vector<uint8_t> value;
    for (uint64_t sample = 0; sample < observer.NofHeldSamples(); ++sample) {
      observer.GetSampleByteArray(sample, value);
      bytes += static_cast<double>(value.size());
    }
    return bytes;
  }
  double size = 8;
  if (type == 4 || type == 5) {
    size = bits <= 32 ? 4 : 8;
  } else if (bits <= 8) {
    size = 1;
  } else if (bits <= 16) {
    size = 2;
  } else if (bits <= 32) {
    size = 4;
  }
  return bytes + samples * size;
}

/// Opens the file, attaches observers to every data group and reads them all; the time is
/// that of the data reads.
inline ReadResult ReadOnce(const std::string& name, const Attach& attach) {
  ReadResult result;
  mdf::MdfReader reader(name);
  if (reader.GetFile() == nullptr || !reader.ReadEverythingButData()) return result;
  mdf::DataGroupList groups;
  reader.GetFile()->DataGroups(groups);
  std::vector<mdf::ChannelObserverList> observers(groups.size());
  for (size_t i = 0; i < groups.size(); ++i) attach(*groups[i], observers[i]);
  const long before = ResidentKiB();
  const auto start = std::chrono::steady_clock::now();
  result.ok = true;
  for (mdf::IDataGroup* group : groups) result.ok = reader.ReadData(*group) && result.ok;
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.peak_growth_mib = static_cast<double>(PeakKiB() - before) / 1024;
  result.peak_mib = static_cast<double>(PeakKiB()) / 1024;
  for (const auto& list : observers) {
    for (const auto& observer : list) {
      if (!observer) continue;
      if (observer->NofHeldSamples() == 0) {
        result.ok = false;
        continue;
      }
      result.values_mib += ValueBytes(*observer) / (1 << 20);
    }
  }
  return result;
}

inline ReadResult ReadInChild(const std::string& name, const Attach& attach) {
  return RunInChild<ReadResult>([&] { return ReadOnce(name, attach); });
}

}  // namespace bench
