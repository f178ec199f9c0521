#pragma once
// Conversion settings copied into the engine for every file. Includes nothing of ours.

#include <cstdint>
#include <string>

namespace tarnwick {

// Field names that mirror a settings-file key keep the key's spelling.
struct ConversionOptions {
  uint16_t pageCount = 0;           // filled in the engine's copy by the open step
  std::string workFile;             // bitmap spool of the raw analysis
  std::string segmentFile;          // segment index spool of the raw analysis
  std::string tiffWorkFile;         // scratch TIFF of the awd and ds readers
  std::string intermediateFile;     // intermediate TIFF ("qrvintif.tmp"); split pages beside it
  uint16_t Threshold = 50;          // raw analysis: fewest good lines that make a fax
  uint8_t FlagNum = 3;              // raw analysis: 0xFF flag bytes before T.6 data
  uint8_t AutoBit = 0;              // 0 detect, 1 MSB first, 2 LSB first
  uint16_t verticalResolution = 0;  // 0 detect, else 100/200/300/400
  uint8_t NStdWidth = 1;            // 1 accept non-standard line widths
  uint16_t MinWidth = 1728;         // smallest line width the raw analysis accepts
  uint8_t ConvertFlag = 0;          // 0 one TIFF, 1 one TIFF per page, 2 merge fxs parts
  uint8_t RawFlag = 0;              // 1 treat input as raw fax data
  uint8_t Recaculate = 0;           // 1 recount scan lines (fxs, sft)
  // A raw T.4 stream's pages go into the intermediate file as T.6 (false:
  // as the stream codes them, for an output that keeps each page's
  // compression).
  bool rawPagesAsT6 = true;
  // The page copy sends bi-level pages out as T.6 coded by our own codec, so
  // a reader that decoded a page clean anyway may write it into the
  // intermediate file as T.6 and list it (FamilyContext::checkedT6Pages).
  // False: pages keep their coding, as the page copy's libtiff path needs.
  bool t6Output = false;
};

}  // namespace tarnwick
