#pragma once
// Writes large MDF 4 files for the reading benchmarks block by block, straight to disk, so
// that a file of several hundred megabytes is never held in memory. The layout is built
// by hand (not by the library's writers), as the tests do.
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

/// A file that is removed when the object ends.
class BlockFile {
 public:
  explicit BlockFile(const std::string& stem)
      : name_("/tmp/" + stem + "_" + std::to_string(::getpid()) + ".mf4"),
        out_(name_, std::ios::binary | std::ios::trunc | std::ios::in | std::ios::out) {
    if (!out_) throw std::runtime_error("cannot create " + name_);
    Bytes id;
    for (const char c : std::string("MDF     4.11    bench   ")) id.push_back(static_cast<uint8_t>(c));
    PutLe(id, 0, 2);    // byte order
    PutLe(id, 0, 2);    // float format
    PutLe(id, 411, 2);  // version
    PutLe(id, 0, 2);
    id.resize(64, 0);
    Raw(id);
    Bytes hd_fields;
    PutLe(hd_fields, 1600000000000000000ULL, 8);  // start time
    hd_fields.resize(32, 0);
    Block("##HD", {0, 0, 0, 0, 0, 0}, hd_fields);  // at 64; its first data group is patched in
  }
  ~BlockFile() {
    out_.close();
    std::remove(name_.c_str());
  }
  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;

  [[nodiscard]] const std::string& Name() const { return name_; }
  [[nodiscard]] uint64_t Size() const { return end_; }

  /// Appends a block at the next 8-byte boundary; returns its position.
  uint64_t Block(const char* id, const std::vector<uint64_t>& links, const Bytes& data) {
    Bytes block;
    for (int i = 0; i < 4; ++i) block.push_back(static_cast<uint8_t>(id[i]));
    PutLe(block, 0, 4);
    PutLe(block, 24 + 8 * links.size() + data.size(), 8);
    PutLe(block, links.size(), 8);
    for (const uint64_t link : links) PutLe(block, link, 8);
    block.insert(block.end(), data.begin(), data.end());
    return Raw(block);
  }
  uint64_t Text(const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.resize((text.size() + 8) / 8 * 8, 0);  // zero terminated, padded
    return Block("##TX", {}, data);
  }
  /// A DT block of the bytes, or a DZ block of them deflated.
  uint64_t DataBlock(const Bytes& data, bool zipped) {
    if (!zipped) return Block("##DT", {}, data);
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes packed(size);
    if (compress2(packed.data(), &size, data.data(), static_cast<uLong>(data.size()), 1) != Z_OK) {
      throw std::runtime_error("deflate failed");
    }
    packed.resize(size);
    Bytes dz = {'D', 'T', 0, 0};
    PutLe(dz, 0, 4);
    PutLe(dz, data.size(), 8);
    PutLe(dz, packed.size(), 8);
    dz.insert(dz.end(), packed.begin(), packed.end());
    return Block("##DZ", {}, dz);
  }
  /// A DL block listing the blocks with the offsets of their data.
  uint64_t DataList(const std::vector<uint64_t>& blocks, const std::vector<uint64_t>& offsets) {
    std::vector<uint64_t> links = {0};
    links.insert(links.end(), blocks.begin(), blocks.end());
    Bytes data;
    PutLe(data, 0, 1);
    PutLe(data, 0, 3);
    PutLe(data, blocks.size(), 4);
    for (const uint64_t offset : offsets) PutLe(data, offset, 8);
    return Block("##DL", links, data);
  }
  /// Overwrites link `index` of the block at `position`.
  void PatchLink(uint64_t position, size_t index, uint64_t link) {
    Bytes bytes;
    PutLe(bytes, link, 8);
    Write(position + 24 + 8 * index, bytes);
  }
  void Flush() { out_.flush(); }

 private:
  uint64_t Raw(Bytes bytes) {
    bytes.resize((bytes.size() + 7) / 8 * 8, 0);
    const uint64_t position = end_;
    Write(position, bytes);
    end_ += bytes.size();
    return position;
  }
  void Write(uint64_t position, const Bytes& bytes) {
    out_.seekp(static_cast<std::streamoff>(position));
    out_.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out_) throw std::runtime_error("cannot write " + name_);
  }

  std::string name_;
  std::fstream out_;
  uint64_t end_ = 0;
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

/// Writes the channel chain (members first, so each knows its successor); returns the first.
/// `groups` holds the positions of the channel groups written so far.
inline uint64_t WriteChannels(BlockFile& file, const std::vector<ChannelSpec>& channels,
                              const std::vector<uint64_t>& groups) {
  uint64_t next = 0;
  for (auto it = channels.rbegin(); it != channels.rend(); ++it) {
    const uint64_t composition = it->composition.empty() ? 0 : WriteChannels(file, it->composition, groups);
    const uint64_t data_link = it->vlsd_group >= 0 ? groups.at(static_cast<size_t>(it->vlsd_group)) : 0;
    const uint64_t name = file.Text(it->name);
    Bytes data;
    PutLe(data, it->type, 1);
    PutLe(data, it->sync, 1);
    PutLe(data, it->data_type, 1);
    PutLe(data, it->bit_offset, 1);
    PutLe(data, it->byte_offset, 4);
    PutLe(data, it->bit_count, 4);
    PutLe(data, it->flags, 4);
    PutLe(data, 0, 4);  // invalidation bit
    PutLe(data, 0, 4);  // precision, reserved, attachments
    data.resize(data.size() + 48, 0);
    next = file.Block("##CN", {next, composition, name, 0, 0, data_link, 0, 0}, data);
  }
  return next;
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
  uint64_t next = 0;
  std::vector<uint64_t> positions(groups.size(), 0);
  for (size_t index = groups.size(); index-- > 0;) {
    const GroupSpec* it = &groups[index];
    const uint64_t channels = WriteChannels(file, it->channels, positions);
    const uint64_t name = it->name.empty() ? 0 : file.Text(it->name);
    Bytes fields;
    PutLe(fields, it->record_id, 8);
    PutLe(fields, it->cycles, 8);
    PutLe(fields, it->flags, 2);
    PutLe(fields, 0, 2);
    PutLe(fields, 0, 4);
    PutLe(fields, it->data_bytes, 4);
    PutLe(fields, 0, 4);
    next = file.Block("##CG", {next, channels, name, 0, 0, 0}, fields);
    positions[index] = next;
  }
  Bytes dg_fields;
  PutLe(dg_fields, 1, 1);
  dg_fields.resize(8, 0);
  const uint64_t dg = file.Block("##DG", {0, next, data, 0}, dg_fields);
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
