#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/family_table.h"
#include "records/conversion_options.h"
#include "records/fax_type.h"
#include "records/page_image.h"

namespace tarnwick {

// Drives one file from its reader to the intermediate TIFF. Built for one
// file and destroyed at its end; holds the reader of the file's family only
// (engine/family_table.h), so nothing of one file survives into the next.
//
// Open, first-page decode and write are the steps of the family's row; a
// family type without a reader behaves as a file that could not be opened.
class ConversionEngine {
 public:
  explicit ConversionEngine(const ConversionOptions& options);
  ~ConversionEngine();
  ConversionEngine(const ConversionEngine&) = delete;
  ConversionEngine& operator=(const ConversionEngine&) = delete;

  // Opens the source with the reader of `type`, finds its pages and decodes
  // page 0 into page(). -1 when the reader could not open the file,
  // kFamilyWorkFileFailed when the work files of its analysis could not be
  // written (the file's type is then unknown); otherwise isFax() decides.
  int open(const std::string& source, FaxType type);

  // True when page 0 decoded with a width and lines.
  bool isFax() const { return page_.width > 0 && page_.height > 0; }

  // Writes every page into the intermediate TIFF at `output` (one file per
  // page beside it in split mode). 0, kFamilyWorkFileFailed or another
  // negative failure (engine/family_table.h).
  int write(const std::string& output, FaxType type);

  // Closes the reader's file so the source is no longer held open.
  void closeAll();

  uint16_t pageCount() const { return options_.pageCount; }
  const PageImage& page() const { return page_; }
  // Whether the last write() produced one intermediate file per page.
  bool wroteSplitPages() const { return wroteSplitPages_; }
  // Pages the last write() kept short of their declared lines.
  const std::vector<PageLineLoss>& lineLosses() const { return lineLosses_; }
  // Pages the last write() put into the intermediate file as T.6 strips our
  // own codec coded or decoded clean (PageCopySettings::checkedT6Pages).
  const std::vector<uint16_t>& checkedT6Pages() const { return checkedT6Pages_; }
  // Of those, the pages our encoder coded from another coding.
  const std::vector<uint16_t>& recodedT6Pages() const { return recodedT6Pages_; }

 private:
  ConversionOptions options_;
  PageImage page_;
  ReaderSlot reader_;
  const FamilyRow* family_ = nullptr;  // the row of the last open()
  bool wroteSplitPages_ = false;
  std::vector<PageLineLoss> lineLosses_;
  std::vector<uint16_t> checkedT6Pages_;
  std::vector<uint16_t> recodedT6Pages_;
};

}  // namespace tarnwick
