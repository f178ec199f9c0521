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

int T6PageReader::preparePage(PageImage& page) {
  page.clear();
  const int status = readPage();
  if (status != 0) return status;
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
  const int status = readPage();
  if (status != 0) return status;
  return writeT6PageFile(outputPath, pageData_, layout_) == 0 ? 0 : codes_.writeFailed;
}

}  // namespace tarnwick
