#pragma once
// An LZSS encoder for the decoder's tests: a bit writer that emits literals and
// back-references as asked (and keeps what they decode to, a fresh window reading as zeros),
// and a greedy encoder over it with hash chains. Bits go most significant first: tag 1 and
// 8 literal bits, or tag 0, the index (distance - 1) in window-bits bits and the count
// (length - 1) in lookahead-bits bits; zero bits pad the last byte.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace test {

/// First and one-past-last bit of a token in the bit stream.
struct LzssTokenSpan {
  uint64_t begin;
  uint64_t end;
};

class LzssBitWriter {
 public:
  LzssBitWriter(int window_bits, int lookahead_bits) : window_bits_(window_bits), lookahead_bits_(lookahead_bits) {}

  void Literal(uint8_t byte) {
    const uint64_t begin = bits_;
    Put(1, 1);
    Put(byte, 8);
    spans_.push_back({begin, bits_});
    decoded_.push_back(static_cast<char>(byte));
  }

  /// distance 1..2^window_bits, length 1..2^lookahead_bits.
  void BackRef(uint32_t distance, uint32_t length) {
    if (distance < 1 || distance > (1u << window_bits_) || length < 1 || length > (1u << lookahead_bits_)) {
      throw std::invalid_argument("back-reference out of range");
    }
    const uint64_t begin = bits_;
    Put(0, 1);
    Put(distance - 1, window_bits_);
    Put(length - 1, lookahead_bits_);
    spans_.push_back({begin, bits_});
    for (uint32_t i = 0; i < length; ++i) {
      const size_t position = decoded_.size();
      decoded_.push_back(position >= distance ? decoded_[position - distance] : '\0');
    }
  }

  /// The bit stream so far, its last byte padded with zero bits.
  [[nodiscard]] std::string Bytes() const { return bytes_; }
  [[nodiscard]] const std::string& Decoded() const { return decoded_; }
  [[nodiscard]] const std::vector<LzssTokenSpan>& Spans() const { return spans_; }
  [[nodiscard]] uint64_t BitCount() const { return bits_; }
  [[nodiscard]] int WindowBits() const { return window_bits_; }
  [[nodiscard]] int LookaheadBits() const { return lookahead_bits_; }

 private:
  void Put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      if (bits_ % 8 == 0) bytes_.push_back('\0');
      if (((value >> i) & 1) != 0) bytes_.back() = static_cast<char>(bytes_.back() | (0x80 >> (bits_ % 8)));
      ++bits_;
    }
  }

  int window_bits_;
  int lookahead_bits_;
  uint64_t bits_ = 0;
  std::string bytes_;
  std::string decoded_;
  std::vector<LzssTokenSpan> spans_;
};

/// Only the bit stream of the tokens, for encoding recordings of hundreds of megabytes.
class LzssBitSink {
 public:
  LzssBitSink(int window_bits, int lookahead_bits) : window_bits_(window_bits), lookahead_bits_(lookahead_bits) {}
  void Literal(uint8_t byte) {
    Put(1, 1);
    Put(byte, 8);
  }
  void BackRef(uint32_t distance, uint32_t length) {
    Put(0, 1);
    Put(distance - 1, window_bits_);
    Put(length - 1, lookahead_bits_);
  }
  /// The bit stream, its last byte padded with zero bits.
  [[nodiscard]] std::string Bytes() const {
    std::string bytes = bytes_;
    if (count_ > 0) bytes.push_back(static_cast<char>(pending_ << (8 - count_)));
    return bytes;
  }
  [[nodiscard]] int WindowBits() const { return window_bits_; }
  [[nodiscard]] int LookaheadBits() const { return lookahead_bits_; }

 private:
  void Put(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) {
      pending_ = static_cast<uint8_t>(pending_ << 1 | ((value >> i) & 1));
      if (++count_ == 8) {
        bytes_.push_back(static_cast<char>(pending_));
        pending_ = 0;
        count_ = 0;
      }
    }
  }

  int window_bits_;
  int lookahead_bits_;
  std::string bytes_;
  uint8_t pending_ = 0;
  int count_ = 0;
};

/// Greedy encoding: at each position the longest earlier match (3-byte hash chains, at most
/// `max_chain` candidates) when it is cheaper than literals, else a literal. The chains are a
/// ring of one window: a candidate further back could not be referenced anyway.
template <typename Writer>
void LzssEncodeInto(Writer& writer, const std::string& data, int max_chain = 32) {
  const uint32_t window = 1u << writer.WindowBits();
  const uint32_t longest = 1u << writer.LookaheadBits();
  const uint32_t reference_bits = 1 + static_cast<uint32_t>(writer.WindowBits() + writer.LookaheadBits());
  constexpr uint32_t kHashBits = 16;
  std::vector<int64_t> head(size_t{1} << kHashBits, -1);
  std::vector<int64_t> previous(window, -1);
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  const auto hash = [bytes](size_t at) {
    const uint32_t three = uint32_t{bytes[at]} << 16 | uint32_t{bytes[at + 1]} << 8 | bytes[at + 2];
    return (three * 2654435761u) >> (32 - kHashBits);  // Knuth's multiplicative hash
  };
  const auto insert = [&](size_t at) {
    if (at + 3 > data.size()) return;
    const uint32_t h = hash(at);
    previous[at % window] = head[h];
    head[h] = static_cast<int64_t>(at);
  };
  size_t at = 0;
  while (at < data.size()) {
    uint32_t best_length = 0;
    uint32_t best_distance = 0;
    if (at + 3 <= data.size()) {
      int chain = max_chain;
      for (int64_t candidate = head[hash(at)]; candidate >= 0 && chain-- > 0;
           candidate = previous[static_cast<size_t>(candidate) % window]) {
        const size_t distance = at - static_cast<size_t>(candidate);
        if (distance > window) break;
        uint32_t length = 0;
        while (length < longest && at + length < data.size() && bytes[candidate + length] == bytes[at + length]) {
          ++length;
        }
        if (length > best_length) {
          best_length = length;
          best_distance = static_cast<uint32_t>(distance);
          if (length == longest) break;
        }
      }
    }
    if (best_length * 9 > reference_bits) {
      writer.BackRef(best_distance, best_length);
    } else {
      best_length = 1;
      writer.Literal(bytes[at]);
    }
    for (uint32_t i = 0; i < best_length; ++i) insert(at + i);
    at += best_length;
  }
}

inline std::string LzssEncode(const std::string& data, int window_bits, int lookahead_bits) {
  LzssBitSink writer(window_bits, lookahead_bits);
  LzssEncodeInto(writer, data);
  return writer.Bytes();
}

}  // namespace test
