#pragma once
// A FUSE file system mounted for one test and unmounted with the object: exFAT through
// exfat-fuse (which mounts block devices only, so its image goes on a loop device), FAT through
// fusefat on an image file, or a bindfs pass-through of a folder. These are the drivers by which
// SD cards and USB drives are often reached, and they behave unlike local file systems: case is
// ignored, a rename may write new times, no atomic no-replace rename, and a lease sees only the
// writers that pass through the mount. Mounting needs /dev/fuse and, for the loop device, root;
// where it fails, Mounted() is false and Why() says why, so that a test can skip.
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/runprogram.h"

namespace test {

enum class FuseKind { kExfat, kFat, kBind };

class FuseMount {
 public:
  /// Mounts a new file system of the kind on `mount_point` (made here), its image file made in
  /// `work` (a local folder, also for the tools' output); a bind mount shows `backing`.
  FuseMount(FuseKind kind, const std::string& work, const std::string& mount_point, const std::string& backing = "")
      : work_(work), mount_point_(mount_point) {
    std::filesystem::create_directories(mount_point);
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      why_ = "/dev/fuse cannot be opened here";
      return;
    }
    const std::string image = work + "/fuse.img";
    switch (kind) {
      case FuseKind::kExfat:
        if (Run("truncate", {"-s", kImageSize, image}) && Run("mkfs.exfat", {image}) &&
            Run("losetup", {"--find", "--show", image}, &loop_)) {
          while (!loop_.empty() && (loop_.back() == '\n' || loop_.back() == ' ')) loop_.pop_back();
          mounted_ = Run("mount.exfat-fuse", {loop_, mount_point});
        }
        break;
      case FuseKind::kFat:
        mounted_ = Run("mkfs.vfat", {"-C", image, kImageKiB}) && Run("fusefat", {"-o", "rw+", image, mount_point});
        break;
      case FuseKind::kBind:
        mounted_ = Run("bindfs", {backing, mount_point});
        break;
    }
  }
  ~FuseMount() {
    if (mounted_ && !Run("fusermount", {"-u", mount_point_})) Run("umount", {"-l", mount_point_});
    if (!loop_.empty()) Run("losetup", {"-d", loop_});
  }
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  [[nodiscard]] bool Mounted() const { return mounted_; }
  [[nodiscard]] const std::string& Why() const { return why_; }

 private:
  // Small: the tests write a few recordings of some kilobytes.
  static constexpr const char* kImageSize = "16M";
  static constexpr const char* kImageKiB = "16384";

  /// Runs a tool by name from the system's folders; false (with the reason noted) when it is
  /// missing or fails. `out` gets its standard output.
  bool Run(const std::string& tool, const std::vector<std::string>& args, std::string* out = nullptr) {
    std::string path;
    for (const char* folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
      if (::access((folder + tool).c_str(), X_OK) == 0) {
        path = folder + tool;
        break;
      }
    }
    if (path.empty()) {
      if (why_.empty()) why_ = tool + " is not installed";
      return false;
    }
    const ProgramResult result = RunProgram(path, args, work_, work_);
    if (out != nullptr) *out = result.out;
    if (result.status != 0 && why_.empty()) why_ = tool + " failed: " + result.err;
    return result.status == 0;
  }

  std::string work_;
  std::string mount_point_;
  std::string loop_;  // the loop device of an exFAT image, or empty
  bool mounted_ = false;
  std::string why_;
};

}  // namespace test
