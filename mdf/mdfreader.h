#pragma once
// Reads one MDF file from a stream buffer shared with the caller: verifies the
// identification block at once, then reads the information blocks and, per data group,
// the samples into channel observers.
#include <memory>
#include <streambuf>
#include <string>
#include <vector>

#include "mdf/filedamage.h"
#include "mdf/mdffile.h"
#include "mdf/memoryaccount.h"

namespace mdf {

class IChannel;
class IChannelGroup;
class IChannelObserver;
class IDataGroup;
class IHeader;

using ChannelObserverPtr = std::unique_ptr<IChannelObserver>;
using ChannelObserverList = std::vector<ChannelObserverPtr>;

/// An observer of the channel's value type, attached to the data group; null for a data
/// type without one.
ChannelObserverPtr CreateChannelObserver(IDataGroup& data_group, const IChannelGroup& group, const IChannel& channel);

/// Appends one observer per channel of every channel group that has samples; channels of
/// unknown data types give null entries.
void CreateObserversForDataGroup(IDataGroup& data_group, ChannelObserverList& dest);

class MdfReader {
 public:
  /// Verifies the file at once. A file that is not MDF, or cannot be read, leaves the reader
  /// without a file object (GetFile() is null); nothing is thrown. `name` is what the
  /// reader's messages call the file; the buffer is read as it is, never opened by that name.
  /// Every read of the file holds its memory within `memory` (not owned; it outlives the
  /// reader); without one the reader keeps an account of its own, limited by
  /// MemoryAccount::CeilingFor the file's size.
  explicit MdfReader(std::shared_ptr<std::streambuf> buffer, std::string name = {}, MemoryAccount* memory = nullptr);
  /// Opens the named file through a file buffer of its own.
  explicit MdfReader(const std::string& filename);
  virtual ~MdfReader();
  MdfReader(const MdfReader&) = delete;
  MdfReader& operator=(const MdfReader&) = delete;

  [[nodiscard]] MdfFile* GetFile() const { return file_.get(); }
  [[nodiscard]] IHeader* FileHeader() const;
  [[nodiscard]] const std::string& FileName() const { return filename_; }

  [[nodiscard]] bool IsOpen() const;
  bool Open();
  void Close();

  /// Every block but the data.
  bool ReadEverythingButData();
  /// The data group's records into the observers attached to it.
  bool ReadData(IDataGroup& data_group);

  /// True when a read of this file met damage (a read may still have succeeded with what it
  /// could read); then FirstDamage is the first damage as it was logged, else empty. Damage
  /// counts alike on every path that meets it.
  [[nodiscard]] bool IsDamaged() const { return damage_.met; }
  [[nodiscard]] const std::string& FirstDamage() const { return damage_.first; }
  /// True when the first failure noted was memory running short while a read was made
  /// (then FirstDamage is its log line): the file is not known to be damaged.
  [[nodiscard]] bool OutOfMemory() const { return damage_.out_of_memory; }
  /// The account the reads of this file hold their memory in; null before a file was opened.
  [[nodiscard]] MemoryAccount* Memory() const { return memory_; }

 private:
  void VerifyMdfFile();

  std::shared_ptr<std::streambuf> buffer_;
  std::string filename_;  // the path a file buffer of its own is opened by; empty with a caller's buffer
  std::string name_;      // what messages call the file: that path, or the name given with a buffer
  // Before the file, whose blocks hold their memory in it.
  std::unique_ptr<MemoryAccount> own_memory_;
  MemoryAccount* memory_ = nullptr;
  std::unique_ptr<MdfFile> file_;
  FileDamage damage_;
};

}  // namespace mdf
