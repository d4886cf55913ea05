#pragma once
// An event on the measurement's time (or angle, distance, index) axis: a recording start or
// stop, a trigger, a marker. Its references to other blocks are not owned.
#include <cstdint>
#include <string>
#include <vector>

#include "mdf/iblock.h"

namespace mdf {

class IAttachment;

class IEvent : public IBlock {
 public:
  [[nodiscard]] virtual std::string Name() const = 0;
  virtual void Name(const std::string& name) = 0;
  [[nodiscard]] virtual std::string GroupName() const = 0;
  virtual void GroupName(const std::string& group_name) = 0;
  /// 0 Recording, 1 Recording Interrupt, 2 Acquisition Interrupt, 3 Start Recording,
  /// 4 Stop Recording, 5 Trigger, 6 Marker.
  [[nodiscard]] virtual uint8_t Type() const = 0;
  virtual void Type(uint8_t type) = 0;
  /// 1 time, 2 angle, 3 distance, 4 index.
  [[nodiscard]] virtual uint8_t SyncType() const = 0;
  virtual void SyncType(uint8_t type) = 0;
  /// 0 point, 1 begin of a range, 2 end of a range.
  [[nodiscard]] virtual uint8_t RangeType() const = 0;
  virtual void RangeType(uint8_t type) = 0;
  /// 0 Other, 1 Error, 2 Tool, 3 Script, 4 User.
  [[nodiscard]] virtual uint8_t Cause() const = 0;
  virtual void Cause(uint8_t cause) = 0;
  [[nodiscard]] virtual uint16_t CreatorIndex() const = 0;
  virtual void CreatorIndex(uint16_t index) = 0;
  /// The sync value is SyncValue() x SyncFactor().
  [[nodiscard]] virtual int64_t SyncValue() const = 0;
  virtual void SyncValue(int64_t value) = 0;
  [[nodiscard]] virtual double SyncFactor() const = 0;
  virtual void SyncFactor(double factor) = 0;
  [[nodiscard]] virtual const IEvent* ParentEvent() const = 0;
  virtual void ParentEvent(const IEvent* parent) = 0;
  /// The event that begins the range this event ends.
  [[nodiscard]] virtual const IEvent* RangeEvent() const = 0;
  virtual void RangeEvent(const IEvent* range_begin) = 0;
  /// Channel groups or channels the event applies to; null entries stand for references
  /// that could not be resolved.
  virtual void AddScope(const IBlock* scope) = 0;
  [[nodiscard]] virtual const std::vector<const IBlock*>& Scopes() const = 0;
  virtual void AddAttachment(const IAttachment* attachment) = 0;
  [[nodiscard]] virtual const std::vector<const IAttachment*>& Attachments() const = 0;
};

}  // namespace mdf
