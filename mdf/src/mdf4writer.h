#pragma once
// The MDF 4 writer: each measurement cycle appends one DT block to the header's last data
// group and streams the queued records into it, or, with compression, one HL block whose
// data lists hold DZ blocks. The bus logger and the converter derive from it.
#include <cstdint>
#include <memory>
#include <mutex>
#include <streambuf>
#include <vector>

#include "mdf/mdfwriter.h"

namespace mdf::detail {

class Cg4Block;
class Dg4Block;
class Dl4Block;
class Dt4Block;
class Hl4Block;

class Mdf4Writer : public MdfWriter {
 public:
  /// A zipped block is closed before its uncompressed data would reach this size.
  static constexpr uint64_t kMaxBlockSize = 4'000'000;
  /// A rest of data of at most this size is stored plain: zipping gains nothing on it.
  static constexpr uint64_t kMaxPlainRest = 100;
  /// Record bytes a plain pass takes off the queue at once where there are so many: enough
  /// to make the lock rare, few enough to keep the worker's time under the lock short.
  static constexpr size_t kWriteBatchBytes = size_t{256} << 10;

  Mdf4Writer() = default;
  ~Mdf4Writer() override;

  IChannelConversion* CreateChannelConversion(IChannel* channel) override;
  bool InitMeasurement() override;

 protected:
  void CreateMdfFile() override;
  bool PrepareForWriting() override;
  void SetDataStart(std::streambuf& buffer) override;
  /// The signal data of every channel of the last data group, composed members included.
  bool WriteSignalData(std::streambuf& buffer) override;
  void SaveQueue(std::unique_lock<std::mutex>& lock) override;
  void FlushQueue(std::unique_lock<std::mutex>& lock) override;
  void SetLastPosition(std::streambuf& buffer) override;
  /// The pass of a started measurement when compressing: it writes once at least two
  /// blocks' worth of records is queued.
  virtual void SaveQueueCompressed(std::unique_lock<std::mutex>& lock);
  /// Writes the queue as one data list of zipped blocks under the data group's HL block.
  /// Unless final, records that fill no whole block stay queued.
  virtual void WriteCompressed(std::unique_lock<std::mutex>& lock, bool final);

  [[nodiscard]] Dg4Block* LastDg4Block() const;
  /// How many zipped blocks the queued records fill; 0 without a data group. Lock held.
  [[nodiscard]] uint64_t EstimateBlockCount();
  [[nodiscard]] static std::unique_ptr<Hl4Block> CreateHl4Block();

  uint64_t offset_ = 0;               // uncompressed record bytes already in data blocks of this cycle
  std::vector<uint8_t> stage_bytes_;  // the plain pass's records on their way to the file

 private:
  /// Opens the file for a pass (unless it stays open); false when it is not open.
  bool OpenForPass();
  /// Ends a pass's writing: closes the file (unless it stays open).
  void CloseAfterPass();
  /// Whether the sample ends a pass: it is later than the stop time.
  [[nodiscard]] bool IsAfterStop(const SampleRecord& sample) const;
  /// The VLSD channel group that takes the variable-length bytes of the group's records.
  [[nodiscard]] static Cg4Block* VlsdGroupOf(const Dg4Block& data_group, uint64_t record_id);
  /// Writes one record (and its VLSD bytes) at the stream position. Lock released.
  void WriteRecord(const Dg4Block& data_group, Cg4Block& group, uint8_t id_size, SampleRecord& sample);
  /// Appends one record (and its VLSD bytes) to a block's data.
  static void AppendRecord(std::vector<uint8_t>& dest, const Dg4Block& data_group, Cg4Block& group, uint8_t id_size,
                           SampleRecord& sample);
  /// Moves the data into a new block of the list (zipped unless small and plain_rest),
  /// at the running data offset.
  void CloseBlock(Dl4Block& list, size_t& nof_blocks, std::vector<uint8_t>& data, bool plain_rest);
};

}  // namespace mdf::detail
