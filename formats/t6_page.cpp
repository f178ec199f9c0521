#include "formats/t6_page.h"

#include <algorithm>

#include "codec/fax_decode.h"
#include "codec/fax_stream.h"
#include "formats/fax_reader.h"
#include "tiffout/tiff_writer.h"

namespace tarnwick {

bool t6PageSizeAllowed(const T6PageLayout& layout) {
  return layout.widthPixels >= 1 && layout.widthPixels <= kMaxPageWidth && layout.lines >= 0 &&
         int64_t(layout.widthPixels) * layout.lines <= kMaxPagePixels;
}

int32_t t6LineCapacity(uint64_t dataBytes, const T6PageLayout& layout) {
  const uint64_t byData = dataBytes * 8 + 1;
  return int32_t(std::min<uint64_t>(uint64_t(std::max(layout.lines, 0)), byData));
}

int decodeT6Page(std::span<const uint8_t> data, const T6PageLayout& layout, PageImage& page) {
  page.clear();
  if (!t6PageSizeAllowed(layout) || data.size() > size_t(INT32_MAX)) return kT6PageTooLarge;
  FaxStream stream;
  stream.initT6(data.data(), int32_t(data.size()), layout.fillOrder, 0, layout.flagCount, 0);
  stream.setPageSize(layout.widthPixels, t6LineCapacity(data.size(), layout));
  // Bad codes are resynchronised inside the page; only a page without lines fails.
  decodeMmrPage(stream, page);
  if (page.height <= 0) {
    page.clear();
    return kT6PageNoLines;
  }
  page.resolutionUnit = 2;
  page.xResolution = layout.resolution;
  page.yResolution = int16_t(layout.resolution);
  return 0;
}

int writeT6PageFile(const std::string& outputPath, std::span<const uint8_t> data,
                    const T6PageLayout& layout) {
  TiffWriter writer(outputPath, kTiffLittleEndian, "wb");
  if (!writer.isOpen()) return kTiffWriterNoFile;
  int status = beginTiffOutput(writer);
  if (status != 0) return status;
  CodedPage page;
  page.data = data;
  page.coding = kCodingT6;
  page.photometric = 0;
  page.fillOrder = layout.fillOrder;
  page.width = uint32_t(layout.widthPixels);
  page.length = uint32_t(layout.lines);
  page.xResolution = layout.resolution;
  page.yResolution = layout.resolution;
  page.resolutionUnit = 2;
  status = writeCodedPage(writer, page, 0, 1);
  if (status != 0) return status;
  return writer.close();
}

int T6PageReader::readPage() {
  if (!isOpen()) return codes_.notOpen;
  if (pageRead_) return 0;
  const uint64_t length = fileSize() > dataStartBytes_ ? fileSize() - dataStartBytes_ : 0;
  if (length > uint64_t(INT32_MAX)) return codes_.tooLarge;
  if (readPageData(dataStartBytes_, size_t(length)) != 0) return codes_.readFailed;
  pageRead_ = true;
  return 0;
}

// preparePage with T.6 output: the data checked, the page described.
int T6PageReader::checkPage(PageImage& page) {
  if (!t6PageSizeAllowed(layout_) || pageData_.size() > size_t(INT32_MAX)) return codes_.tooLarge;
  const auto size = int32_t(pageData_.size());
  FaxStream stream;
  stream.initT6(pageData_.data(), size, layout_.fillOrder, 0, layout_.flagCount, 0);
  stream.setPageSize(layout_.widthPixels, t6LineCapacity(pageData_.size(), layout_));
  PageDamage damage;
  int32_t lines = 0;
  const int result = checkMmrPage(stream, lines, &damage);
  if (lines <= 0) return codes_.decodeFailed;
  // Clean data decodes alike whatever flag count a resynchronisation would
  // look for, so the page copy's check would pass as well.
  checkedClean_ = result == 0 && damage.events == 0 && lines == layout_.lines;
  page.width = layout_.widthPixels;
  page.height = lines;
  page.bytesPerRow = (page.width + 7) / 8;
  page.codedSize = uint32_t(size);
  page.fillOrder = layout_.fillOrder;
  page.coding = kCodingT6;
  page.resolutionUnit = 2;
  page.xResolution = layout_.resolution;
  page.yResolution = int16_t(layout_.resolution);
  return 0;
}

int T6PageReader::preparePage(PageImage& page) {
  page.clear();
  checkedClean_ = false;
  const int status = readPage();
  if (status != 0) return status;
  if (t6Output_) {
    const int checked = checkPage(page);
    if (checked != 0) page.clear();
    return checked;
  }
  switch (decodeT6Page(pageData_, layout_, page)) {
    case 0:
      return 0;
    case kT6PageTooLarge:
      return codes_.tooLarge;
    default:
      return codes_.decodeFailed;
  }
}

int T6PageReader::writePages(const std::string& outputPath) {
  checkedT6Pages_.clear();
  const int status = readPage();
  if (status != 0) return status;
  if (writeT6PageFile(outputPath, pageData_, layout_) != 0) return codes_.writeFailed;
  if (t6Output_ && checkedClean_) checkedT6Pages_.push_back(0);
  return 0;
}

}  // namespace tarnwick
