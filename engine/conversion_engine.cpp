#include "engine/conversion_engine.h"

namespace tarnwick {

ConversionEngine::ConversionEngine(const ConversionOptions& options) : options_(options) {
  options_.pageCount = 0;
}

ConversionEngine::~ConversionEngine() {
  closeAll();
}

int ConversionEngine::open(const std::string& source, FaxType type) {
  reader_.reset();
  options_.pageCount = 0;
  page_.clear();
  family_ = findFamily(type);
  if (family_ == nullptr) return -1;  // a family without a reader: not opened
  FamilyContext context{reader_, options_, page_};
  const int result = family_->open(context, source);
  family_->firstPage(context);
  return result;
}

int ConversionEngine::write(const std::string& output, FaxType type) {
  wroteSplitPages_ = false;
  lineLosses_.clear();
  checkedT6Pages_.clear();
  recodedT6Pages_.clear();
  if (family_ == nullptr || family_ != findFamily(type) || !isFax()) return -1;
  FamilyContext context{reader_, options_, page_};
  context.ready = true;
  const int result = family_->write(context, output);
  wroteSplitPages_ = context.wroteSplitPages;
  lineLosses_ = std::move(context.lineLosses);
  checkedT6Pages_ = std::move(context.checkedT6Pages);
  recodedT6Pages_ = std::move(context.recodedT6Pages);
  return result;
}

void ConversionEngine::closeAll() {
  reader_.reset();
}

}  // namespace tarnwick
