#pragma once
// Bus-log outputs for tests: frames written through the bus-log writer into a memory
// stream, and the independent checker run over what was written.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "buslog/mdf_writer.h"
#include "support/busrecords.h"
#include "support/mdf4check.h"
#include "support/streambytes.h"
#include "support/tempdir.h"

namespace test {

/// Metadata as a logger file gives it.
inline cMdfMetadata_t* LoggerMetadata() {
  auto* metadata = new cMdfMetadata_t;
  metadata->HeaderComment =
      "<HDcomment><TX>QX logger recording</TX><common_properties><tree name='File Information'>"
      "<e name='serial number'>0000A1B2</e><e name='session'>17</e><e name='split'>3</e></tree>"
      "</common_properties></HDcomment>";
  metadata->FileHistoryComment =
      "<FHcomment><TX>Recorded</TX><tool_id>QX</tool_id><tool_vendor></tool_vendor>"
      "<tool_version>01.07.02</tool_version></FHcomment>";
  metadata->FileHistoryTime = 1'600'000'000'000'000'000ULL;
  metadata->CanSourceComment = "<SIcomment><TX>CAN 1</TX></SIcomment>";
  metadata->LinSourceComment = "<SIcomment><TX>LIN 1</TX></SIcomment>";
  metadata->FileHistoryText = "Recorded";
  metadata->ToolId = "QX";
  metadata->ToolVersion = "01.07.02";
  return metadata;
}

struct WrittenFile {
  bool finalized = false;
  uint64_t dropped = 0;  // frames the writer could not hold
  std::vector<uint8_t> bytes;
};

/// The input's start for the writer: its ns since 1970, UTC without offsets unless given.
inline cFileInfo_t StartInfo(uint64_t start_ns, int16_t tz_offset_min = 0, int16_t dst_offset_min = 0,
                             uint8_t time_flags = 0) {
  cFileInfo_t info{};
  info.StartTime = start_ns;
  info.TzOffsetMin = tz_offset_min;
  info.DstOffsetMin = dst_offset_min;
  info.TimeFlags = time_flags;
  return info;
}

/// The frames through a fresh writer into `output`, which the caller reads back (the bytes
/// are left empty); the metadata is handed over (null: none).
inline WrittenFile WriteBusLogTo(cStream_t* output, const std::vector<Frame>& frames, const cFileInfo_t& info,
                                 cMdfMetadata_t* metadata) {
  WrittenFile file;
  cMdfWriter_t* writer = mdfWriterNew();
  EXPECT_TRUE(mdfWriterOpen(writer, output, &info, metadata));
  for (const Frame& frame : frames) {
    OwnedRecord record(frame);
    mdfWriterAddRecord(writer, &record.msg);
  }
  file.finalized = mdfWriterFinalize(writer);
  file.dropped = mdfWriterDropped(writer);
  mdfWriterFree(writer);
  return file;
}

/// The frames through a fresh writer into a memory stream.
inline WrittenFile WriteBusLog(const std::vector<Frame>& frames, const cFileInfo_t& info, cMdfMetadata_t* metadata) {
  StreamPtr output(memoryStreamNew());
  WrittenFile file = WriteBusLogTo(output.get(), frames, info, metadata);
  file.bytes = StreamBytes(output.get());
  return file;
}

/// The checker finds no problem in the file and decodes every value.
inline void ExpectCheckerAccepts(const std::vector<uint8_t>& bytes) {
  const std::string tool = Mdf4CheckTool();
  if (tool.empty()) {
    GTEST_SKIP() << "mdf4check is not installed";
  }
  TempDir dir;
  const std::string path = dir.Write("out.mf4", bytes);
  const CheckResult checked = RunMdf4Check(tool, "--values", path);
  if (checked.status != 0) {
    // The problems are listed at the end; the plain check names only them.
    EXPECT_EQ(checked.status, 0) << RunMdf4Check(tool, "", path).output.substr(0, 3000);
  }
}

}  // namespace test
