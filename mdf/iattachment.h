#pragma once
// A file that belongs to the measurement: kept outside the MDF file under its name, or
// embedded in it, optionally deflated.
#include <cstdint>
#include <optional>
#include <string>

#include "mdf/iblock.h"

namespace mdf {

class IAttachment : public IBlock {
 public:
  /// Index of the file-history entry that created the attachment.
  [[nodiscard]] virtual uint16_t CreatorIndex() const = 0;
  virtual void SetCreatorIndex(uint16_t index) = 0;
  [[nodiscard]] virtual bool Embedded() const = 0;
  virtual void SetEmbedded(bool embedded) = 0;
  /// Only meaningful together with Embedded().
  [[nodiscard]] virtual bool Compressed() const = 0;
  virtual void SetCompressed(bool compressed) = 0;
  /// The MD5 checksum as 32 upper-case hex digits; no value unless it is marked valid.
  [[nodiscard]] virtual std::optional<std::string> Md5Text() const = 0;
  /// Name (path, UTF-8) of the attached file.
  [[nodiscard]] virtual const std::string& AttachedFileName() const = 0;
  virtual void SetAttachedFileName(const std::string& filename) = 0;
  [[nodiscard]] virtual const std::string& MimeType() const = 0;
  virtual void SetMimeType(const std::string& mime_type) = 0;
};

}  // namespace mdf
