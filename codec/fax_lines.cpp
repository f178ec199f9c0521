#include "codec/fax_decode.h"

namespace tarnwick {

void RunList::assignFrom(const RunList& line) {
  next = 0;
  count = 0;
  for (uint32_t i = 0; i < line.count; ++i) append(line.runs[i]);
}

int decodeMhLine(FaxStream&, RowWriter&, RunList*) { return kEndOfData; }
int decode2dLine(FaxStream&, RowWriter&, RunList*, RunList&) { return kEndOfData; }
int decodeMmrLine(FaxStream&, RowWriter&, RunList*, RunList&, int32_t&) { return kEndOfData; }

}  // namespace tarnwick
