#pragma once
// The type and flag codes of channels, channel groups and conversions as MDF 4 stores them. The interfaces keep
// their integer types (`IChannel::ChannelType`, `SyncType`, `DataType`,
// `IChannelConversion::Type`); these names say which code a comparison means.
#include <cstdint>

namespace mdf {

// IChannel::ChannelType
constexpr uint8_t kFixedLengthChannel = 0;
constexpr uint8_t kVlsdChannel = 1;  // the record holds an offset into signal data or a VLSD group
constexpr uint8_t kMasterChannel = 2;
constexpr uint8_t kVirtualMasterChannel = 3;
constexpr uint8_t kSyncChannel = 4;
constexpr uint8_t kMaxLengthChannel = 5;
constexpr uint8_t kVirtualDataChannel = 6;

// IChannel::SyncType
constexpr uint8_t kNoSync = 0;
constexpr uint8_t kTimeSync = 1;
constexpr uint8_t kAngleSync = 2;
constexpr uint8_t kDistanceSync = 3;
constexpr uint8_t kIndexSync = 4;

// IChannel::DataType
constexpr uint8_t kUnsignedLe = 0;
constexpr uint8_t kUnsignedBe = 1;
constexpr uint8_t kSignedLe = 2;
constexpr uint8_t kSignedBe = 3;
constexpr uint8_t kFloatLe = 4;
constexpr uint8_t kFloatBe = 5;
constexpr uint8_t kLatin1Text = 6;
constexpr uint8_t kUtf8Text = 7;
constexpr uint8_t kUtf16LeText = 8;
constexpr uint8_t kUtf16BeText = 9;
constexpr uint8_t kByteArray = 10;
constexpr uint8_t kMimeSample = 11;
constexpr uint8_t kMimeStream = 12;
constexpr uint8_t kCanOpenDate = 13;
constexpr uint8_t kCanOpenTime = 14;
constexpr uint8_t kComplexLe = 15;
constexpr uint8_t kComplexBe = 16;

// IChannel::Flags: the record holds an invalidation bit of the value.
constexpr uint32_t kChannelInvalidationBitFlag = 0x02;
// IChannelGroup::Flags
constexpr uint16_t kChannelGroupVlsdFlag = 0x01;  // the group's records are the values of a VLSD channel
constexpr uint16_t kChannelGroupBusEventFlag = 0x02;
constexpr uint16_t kChannelGroupPlainBusEventFlag = 0x04;

// IChannelConversion::Type
constexpr uint8_t kOneToOneConversion = 0;
constexpr uint8_t kLinearConversion = 1;
constexpr uint8_t kRationalConversion = 2;
constexpr uint8_t kAlgebraicConversion = 3;
constexpr uint8_t kInterpolatedTableConversion = 4;  // value to value with interpolation
constexpr uint8_t kValueTableConversion = 5;         // value to value without interpolation
constexpr uint8_t kRangeTableConversion = 6;         // value range to value
constexpr uint8_t kValueToTextConversion = 7;
constexpr uint8_t kRangeToTextConversion = 8;
constexpr uint8_t kTextToValueConversion = 9;
constexpr uint8_t kTextToTextConversion = 10;
constexpr uint8_t kBitfieldTextConversion = 11;
// The formula types of MDF 3 conversions.
constexpr uint8_t kPolynomialConversion = 30;
constexpr uint8_t kExponentialConversion = 31;
constexpr uint8_t kLogarithmicConversion = 32;
// The raw value of an MDF 3 byte-array channel is a CANopen date or time.
constexpr uint8_t kCanOpenDateConversion = 33;
constexpr uint8_t kCanOpenTimeConversion = 34;

/// A conversion type that conversions of either version have; a value through any other is
/// not known.
constexpr bool IsKnownConversionType(uint8_t type) {
  return type <= kBitfieldTextConversion || (type >= kPolynomialConversion && type <= kCanOpenTimeConversion);
}

}  // namespace mdf
