#pragma once
// Stream buffers that take what a block copies out.
#include <ios>
#include <streambuf>
#include <string>
#include <vector>

namespace test {

/// Keeps the bytes and the size of every bulk put it receives.
class ChunkSink : public std::streambuf {
 public:
  std::vector<std::streamsize> puts;
  std::string data;

 protected:
  std::streamsize xsputn(const char* source, std::streamsize count) override {
    puts.push_back(count);
    data.append(source, static_cast<size_t>(count));
    return count;
  }
};

}  // namespace test
