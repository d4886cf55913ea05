#pragma once
// The header comment a QX data logger writes into its MDF4 files: device and file
// information as "common_properties" trees.
namespace test {

inline constexpr const char* kLoggerHeaderComment =
    "<HDcomment xmlns='http://www.asam.net/mdf/v4'>\n"
    "  <TX>QX logger recording</TX>\n"
    "  <common_properties>\n"
    "    <tree name='Device Information'>\n"
    "      <e name='device id' type='string' ro='true'>4F2A1B3C</e>\n"
    "      <e name='serial number' type='string' ro='true'>0000A1B2</e>\n"
    "      <e name='firmware version' type='string' ro='true'>01.07.02</e>\n"
    "      <e name='hardware version' type='string' ro='true'>00.03</e>\n"
    "      <e name='storage total' type='integer' unit='KiB' ro='true'>31154688</e>\n"
    "      <e name='storage free' type='integer' unit='KiB' ro='true'>30811136</e>\n"
    "      <e name='config crc32 checksum' type='string' ro='true'>8D1E0A77</e>\n"
    "    </tree>\n"
    "    <tree name='File Information'>\n"
    "      <e name='comment' type='string' ro='true'></e>\n"
    "      <e name='session' type='integer' ro='true'>17</e>\n"
    "      <e name='split' type='integer' ro='true'>3</e>\n"
    "      <e name='time' type='integer' unit='s' ro='true'>1600000000</e>\n"
    "    </tree>\n"
    "  </common_properties>\n"
    "</HDcomment>\n";

}  // namespace test
