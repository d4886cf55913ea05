#include "tx4block.h"

#include "damage.h"
#include "mdf/mdfhelper.h"
#include "mdf/mdflogstream.h"
#include "mdf/memoryaccount.h"
#include "mdf/textrule.h"

namespace mdf::detail {

namespace {
constexpr size_t kDisplayLength = 40;
constexpr uint64_t kHeaderSize = 24;

// One empty text for every block without one: blocks made to be read start with it.
const std::shared_ptr<const std::string>& EmptyText() {
  static const auto empty = std::make_shared<const std::string>();
  return empty;
}
}  // namespace

bool IsXmlText(const std::string& text) { return !text.empty() && text[0] == '<'; }

std::string ShortenText(const std::string& text, size_t nof_chars) {
  if (text.size() < nof_chars) {
    return text;
  }
  return text.substr(0, Utf8CutPosition(text, nof_chars)) + " ...";
}

Tx4Block::Tx4Block() : text_(EmptyText()) {}

Tx4Block::Tx4Block(std::string text) : text_(std::make_shared<const std::string>(std::move(text))) {}

void Tx4Block::SetRawText(std::string text) { text_ = std::make_shared<const std::string>(std::move(text)); }

void Tx4Block::GetBlockProperty(std::vector<BlockProperty>& dest) const { dest.emplace_back("Comment", FullText()); }

size_t Tx4Block::Read(std::streambuf& buffer) {
  const size_t header = ReadMdf4Header(buffer);  // a length below the header throws there
  text_ = EmptyText();
  if (link_count_ > 0) {
    // A text block has no links: the bytes taken for them are the text's own.
    MDF_DAMAGE(Damage::kUnreadableBlock) << "Text block with links. Block: " << AddressToText(file_position_)
                                         << ", Links: " << link_count_;
  }
  MemoryAccount* memory = Memory();
  if (memory != nullptr) {
    if (auto held = memory->HeldText(file_position_)) {
      text_ = std::move(held);  // read (and judged) already
      return static_cast<size_t>(block_length_);
    }
  }
  const uint64_t text_size = block_length_ - header;
  // ReadFixedText stops at the first zero byte or at the end of the stream, so a damaged
  // length cannot make it allocate more than the stream holds: one text is never more than
  // the file's bytes, and is taken from the account once read.
  std::string text;
  ReadFixedText(buffer, text, static_cast<size_t>(text_size));
  const bool xml = CompareNoCaseN(block_id_, "##MD", 4) == 0;
  if (const TextFault fault = FindTextFault(text, xml)) {
    MDF_DAMAGE(Damage::kUnreadableText) << fault.What() << ". Block: " << AddressToText(file_position_) << ", "
                                        << fault.where;
    text = ReadablePart(text, xml);
  }
  if (memory != nullptr) memory->Take(text.size());
  auto shared = std::make_shared<const std::string>(std::move(text));
  if (memory != nullptr) memory->KeepText(file_position_, shared);
  text_ = std::move(shared);
  return static_cast<size_t>(block_length_);
}

size_t Tx4Block::Write(std::streambuf& buffer) {
  if (file_position_ > 0) {
    return 0;
  }
  // No writer puts a text into a file that a reader could not read back.
  if (const TextFault fault = FindTextFault(RawText(), IsXmlText(RawText()))) {
    MDF_ERROR() << fault.What() << " is cut to its readable part. " << fault.where;
    SetRawText(ReadablePart(RawText(), IsXmlText(RawText())));
  }
  const std::string& text = RawText();
  block_id_ = IsXmlText(text) ? "##MD" : "##TX";
  link_list_.clear();
  block_length_ = kHeaderSize + text.size() + 1;
  size_t bytes = MdfBlock::Write(buffer);
  if (!text.empty() && buffer.sputn(text.data(), static_cast<std::streamsize>(text.size())) !=
                           static_cast<std::streamsize>(text.size())) {
    throw MdfIoFailure("End of stream reached (EOF).");
  }
  bytes += text.size();
  bytes += WriteZeroBytes(buffer, 1);
  PatchBlockLength(buffer, bytes);
  return bytes;
}

std::string Tx4Block::Text() const { return ShortenText(FullText(), kDisplayLength); }

std::string Tx4Block::FullText() const {
  std::string text = RawText();
  TrimSpace(text);
  return text;
}

bool Tx4Block::IsTxBlock() const { return CompareNoCaseN(block_id_, "##TX", 4) == 0; }

}  // namespace mdf::detail
