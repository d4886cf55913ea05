#pragma once
// The measurement's header: start time, descriptive properties kept in its XML comment, and
// the lists of data groups, file history, attachments, events and channel hierarchies.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mdf/iblock.h"
#include "mdf/imdftimestamp.h"
#include "mdf/itimestamp.h"

namespace mdf {

class IAttachment;
class IChannelHierarchy;
class IDataGroup;
class IEvent;
class IFileHistory;

class IHeader : public IBlock {
 public:
  // Common properties of the comment's "common_properties" list.
  [[nodiscard]] virtual std::string Author() const = 0;
  virtual void Author(const std::string& author) = 0;
  [[nodiscard]] virtual std::string Department() const = 0;
  virtual void Department(const std::string& department) = 0;
  [[nodiscard]] virtual std::string Project() const = 0;
  virtual void Project(const std::string& project) = 0;
  [[nodiscard]] virtual std::string Subject() const = 0;
  virtual void Subject(const std::string& subject) = 0;
  /// The comment's display text.
  [[nodiscard]] virtual std::string Description() const = 0;
  /// Sets the "TX" element of the comment.
  virtual void Description(const std::string& description) = 0;
  [[nodiscard]] virtual std::string MeasurementId() const = 0;
  virtual void MeasurementId(const std::string& uuid) = 0;
  [[nodiscard]] virtual std::string RecorderId() const = 0;
  virtual void RecorderId(const std::string& uuid) = 0;
  /// 0 when the comment holds none.
  [[nodiscard]] virtual int64_t RecorderIndex() const = 0;
  virtual void RecorderIndex(int64_t index) = 0;

  /// Start of the measurement in ns since 1970 (UTC).
  [[nodiscard]] virtual uint64_t StartTime() const = 0;
  /// Throws "Unknown timestamp type" for a timestamp of another kind.
  virtual void StartTime(const ITimestamp& timestamp) = 0;
  virtual void StartTime(uint64_t time_ns) = 0;
  [[nodiscard]] virtual const IMdfTimestamp* StartTimestamp() const = 0;

  virtual IAttachment* CreateAttachment() = 0;
  [[nodiscard]] virtual std::vector<IAttachment*> Attachments() const = 0;
  virtual IFileHistory* CreateFileHistory() = 0;
  [[nodiscard]] virtual std::vector<IFileHistory*> FileHistories() const = 0;
  virtual IEvent* CreateEvent() = 0;
  [[nodiscard]] virtual std::vector<IEvent*> Events() const = 0;
  virtual IChannelHierarchy* CreateChannelHierarchy() = 0;
  [[nodiscard]] virtual std::vector<IChannelHierarchy*> ChannelHierarchies() const = 0;
  virtual IDataGroup* CreateDataGroup() = 0;
  [[nodiscard]] virtual std::vector<IDataGroup*> DataGroups() const = 0;
  /// Null when there is none.
  [[nodiscard]] virtual IDataGroup* LastDataGroup() const = 0;

  /// Radians; no value unless set.
  [[nodiscard]] virtual std::optional<double> StartAngle() const = 0;
  virtual void StartAngle(double angle) = 0;
  /// Metres; no value unless set.
  [[nodiscard]] virtual std::optional<double> StartDistance() const = 0;
  virtual void StartDistance(double distance) = 0;
};

}  // namespace mdf
