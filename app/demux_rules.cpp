#include "app/demux_rules.h"

#include "platform/log.h"
#include "platform/regex.h"

namespace {

const char* const kRulePattern =
    "^muxtp-can(\\d+)=([a-fA-F\\d][a-fA-F\\d][a-fA-F\\d]|[a-fA-F\\d][a-fA-F\\d][a-fA-F\\d][a-fA-F\\d][a-fA-F\\d]"
    "[a-fA-F\\d][a-fA-F\\d][a-fA-F\\d])#(\\d+):(\\d+):(\\d+):(\\d+)$";
// The whole match and six groups: channel, identifier, four targets.
constexpr int kRuleCaptures = 7;
constexpr int64_t kExtendedIdDigits = 8;

// The whole capture as an unsigned 32-bit number. \d also matches non-ASCII digits, which
// are no number here; a number that does not fit is no number either.
bool ReadNumber(const cRegexMatch_t& capture, uint32_t base, uint32_t* value) {
  uint64_t number = 0;
  for (int64_t i = 0; i < capture.length; ++i) {
    const char c = capture.start[i];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (base == 16 && ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')) {
      digit = static_cast<uint32_t>((c | 0x20) - 'a' + 10);
    } else {
      return false;
    }
    number = number * base + digit;
    if (number > UINT32_MAX) return false;
  }
  *value = static_cast<uint32_t>(number);
  return capture.length > 0;
}

}  // namespace

int parseMuxtpArg(const cArgumentString_t* entry, cDemuxMap_t* map) {
  cRegex_t rule{};
  if (regexCompile(&rule, kRulePattern, 0) != kRegexOk || regexCaptureCount(&rule) != kRuleCaptures) {
    regexFree(&rule);
    return 1;
  }
  for (int32_t i = 0; i < entry->header.count; ++i) {
    const char* value = entry->values[i];
    cRegexMatch_t groups[kRuleCaptures] = {};
    if (regexMatch(&rule, value, groups, kRuleCaptures, 0) != kRegexOk) {
      logMessage(kLogError, "Invalid muxtp-can argument, %s", value);
      continue;
    }
    uint32_t channel = 0;
    uint32_t id = 0;
    if (!ReadNumber(groups[1], 10, &channel) || !ReadNumber(groups[2], 16, &id)) continue;
    if (groups[2].length == kExtendedIdDigits) id |= kDemuxExtendedId;
    const uint64_t key = demuxKey(channel, id);
    if (hashMapLookup(map, key) != nullptr) {
      logMessage(kLogError, "Mux configuration already mapped");
      continue;
    }
    uint8_t targets[4] = {};
    bool readable = true;
    for (int t = 0; t < 4 && readable; ++t) {
      uint32_t target = 0;
      readable = ReadNumber(groups[3 + t], 10, &target);
      targets[t] = static_cast<uint8_t>(target & 0xFF);
    }
    if (!readable) continue;
    const cHashInsert_t<cDemuxEntry_t> slot = hashMapInsert(map, key);
    if (slot.entry == nullptr) continue;
    slot.entry->key = key;
    for (int t = 0; t < 4; ++t) slot.entry->targets[t] = targets[t];
  }
  regexFree(&rule);
  return 0;
}
