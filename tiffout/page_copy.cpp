#include "tiffout/page_copy.h"

namespace tarnwick {

int copyTiffPages(const std::string&, const std::string&, const PageCopySettings&,
                  const DirectorySelection&) {
  return kPageCopyInputNotOpened;
}

int parseImageList(const std::string&, DirectorySelection& dirs) {
  dirs = {};
  return 0;
}

int parseInputName(const std::string& name, std::string& path, DirectorySelection& dirs) {
  path = name;
  dirs = {};
  return 0;
}

}  // namespace tarnwick
