#include "update/zip_package.h"

#include "common/file_util.h"
#include "common/log.h"
#include "platform/file_system.h"
#include "platform/output_directory.h"
#include "update/zip_archive.h"

namespace Logic {
namespace {

// Unpacks every entry; true when one at least succeeded.
bool UnzipEntries(const std::u16string& zip_path, const std::u16string& destination,
                  const ZipProgress& progress) {
  std::unique_ptr<ZipArchive> zip = ZipArchive::Open(zip_path);
  if (!zip) {
    Log(64, u"extCloud;", u"zip: cannot open %s", zip_path.c_str());
    return false;
  }
  halcy::OutputDirectory output;
  if (!output.Open(destination)) {
    Log(64, u"extCloud;", u"zip: cannot create %s", destination.c_str());
    return false;
  }
  ZipEntry count;
  zip->GetEntry(-1, &count);
  bool any_written = false;
  for (int index = 0; index < count.index; ++index) {
    if (zip->UnzipEntry(index, output) == ZR_OK) any_written = true;
    if (progress) progress(index + 1, count.index);
  }
  return any_written;
}

}  // namespace

bool UnzipPackage(const std::u16string& zip_path, const std::u16string& destination,
                  const ZipProgress& progress) {
  if (GetFileAttributesW(zip_path.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
  std::u16string target = destination;
  while (!target.empty() && (target.back() == u'\\' || target.back() == u'/')) target.pop_back();
  target += u'\\';
  const bool unpacked = UnzipEntries(zip_path, target, progress);
  if (!DeletePath(zip_path, false)) {
    Log(64, u"extCloud;", u"zip: cannot delete %s", zip_path.c_str());
  }
  return unpacked;
}

}  // namespace Logic
