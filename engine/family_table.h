#pragma once
// The one place that knows every input family: a row per family with its
// type codes and its three steps (open, first page, write). Adding a family
// is its reader's file pair in formats/ plus one row in family_table.cpp.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "records/conversion_options.h"
#include "records/fax_type.h"
#include "records/page_image.h"

namespace tarnwick {

// Holds the reader of the file being converted; the row that opened the file
// made it, and only that row's steps look inside. Destroying the reader
// closes its file.
class ReaderSlot {
 public:
  template <class Reader>
  Reader& make() {
    auto reader = std::make_shared<Reader>();
    Reader& made = *reader;
    reader_ = std::move(reader);
    return made;
  }
  // The reader made by make<Reader>(), or nullptr when the slot is empty.
  template <class Reader>
  Reader* get() const {
    return static_cast<Reader*>(reader_.get());
  }
  void reset() { reader_.reset(); }

 private:
  std::shared_ptr<void> reader_;  // shared_ptr<void> keeps the reader's own destructor
};

// What one file's steps share: the reader, the engine's copy of the options
// (whose pageCount the open step sets), the page the first-page step decodes
// into, and what the steps report back.
struct FamilyContext {
  FamilyContext(ReaderSlot& r, ConversionOptions& o, PageImage& p)
      : reader(r), options(o), page(p) {}

  ReaderSlot& reader;
  ConversionOptions& options;
  PageImage& page;
  bool ready = false;                    // the open step found pages
  bool wroteSplitPages = false;          // the write step wrote one file per page
  std::vector<PageLineLoss> lineLosses;  // pages the write step wrote short
  std::vector<uint16_t> checkedT6Pages;  // pages written as T.6 known to decode clean
  std::vector<uint16_t> recodedT6Pages;  // of those, pages coded T.6 from another coding
};

// What the open and write steps return besides 0.
enum FamilyStatus : int {
  kFamilyNotOpened = -1,       // the source could not be opened, or no reader is open
  kFamilyWorkFileFailed = -2,  // a work file (spool, intermediate TIFF, page file)
                               // could not be written whole; the reason is the
                               // thread's last write failure (platform/checked_write.h)
};

// open:      makes the family's reader in the slot, opens `source`, probes and
//            scans it, sets options.pageCount and ready; kFamilyNotOpened
//            when the file could not be opened (a probe that rejects the file
//            returns 0 with ready left false: the file then reads as not a
//            fax), kFamilyWorkFileFailed when the analysis's work files could
//            not be written.
// firstPage: decodes page 0 into the page (left empty when it cannot).
// write:     writes every page into the intermediate TIFF `output`, or, when
//            options.ConvertFlag is 1 and the family has a split writer, one
//            file per page beside it and sets wroteSplitPages. 0,
//            kFamilyNotOpened, kFamilyWorkFileFailed, or another negative
//            failure of the reader (the data could not be copied).
struct FamilyRow {
  const char* name;
  std::span<const FaxType> types;
  int (*open)(FamilyContext& context, const std::string& source);
  void (*firstPage)(FamilyContext& context);
  int (*write)(FamilyContext& context, const std::string& output);
};

// The row of `type`: the raw row for every type outside 1..18, nullptr for a
// family type that has no reader.
const FamilyRow* findFamily(FaxType type);

}  // namespace tarnwick
