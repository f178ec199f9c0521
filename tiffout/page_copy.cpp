#include "tiffout/page_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/checked_write.h"
#include "platform/held_work_files.h"
#include "platform/partial_files.h"
#include "platform/paths.h"
#include "tiffout/fast_t6_copy.h"
#include "tiffout/page_copy_data.h"

namespace tarnwick {
namespace {

// Beyond this a page is not a fax page we could ever produce; libtiff's own
// allocations are held to it as well.
constexpr uint64_t kMaxBufferBytes = uint64_t(512) << 20;
constexpr int kMaxDirectories = 65535;

struct TiffCloser {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

struct OptionsFree {
  void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

int discardMessage(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

std::unique_ptr<TIFFOpenOptions, OptionsFree> quietOptions() {
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
  if (!options) return nullptr;
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), discardMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), discardMessage, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(options.get(), tmsize_t(kMaxBufferBytes));
  return options;
}

// Neither file is mapped (see InputFile).
int noMapping(thandle_t, void**, toff_t*) {
  return 0;
}
void noUnmapping(thandle_t, void*, toff_t) {}

// ---- Input file --------------------------------------------------------------
//
// The input is an intermediate file (a work file, held in memory or on the
// disk: platform/held_work_files.h) or a TIFF on the disk. libtiff reads a
// directory a field at a time, each read after a seek of its own: a few
// dozen system calls a page. Reads through a window of the file make that
// one; reads at least half a window long (strips, mostly) go straight to
// the file. Not mapped: a mapped input stays resident as it is read, so
// memory would follow the whole fax rather than the page copied.

class InputFile {
 public:
  static constexpr size_t kWindowBytes = size_t(64) << 10;

  bool open(const std::string& path) {
    if (!file_.open(path)) return false;
    size_ = file_.size();
    return true;
  }
  int close() { return file_.close() == 0 ? 0 : -1; }

  tmsize_t read(uint8_t* data, tmsize_t size) {
    if (size <= 0) return 0;
    const uint64_t want = uint64_t(size);
    if (want >= kWindowBytes / 2) {
      const size_t got = file_.readAt(pos_, data, size_t(want));
      pos_ += got;
      return tmsize_t(got);
    }
    if (pos_ < windowStart_ || pos_ + want > windowStart_ + windowBytes_) {
      window_.resize(kWindowBytes);
      windowStart_ = pos_;
      windowBytes_ = file_.readAt(pos_, window_.data(), kWindowBytes);
    }
    const uint64_t from = pos_ - windowStart_;
    const size_t got =
        size_t(std::min<uint64_t>(want, windowBytes_ - std::min(from, windowBytes_)));
    if (got > 0) std::memcpy(data, window_.data() + from, got);
    pos_ += got;
    return tmsize_t(got);
  }

  toff_t seek(toff_t offset, int whence) {
    uint64_t base = 0;
    if (whence == SEEK_CUR) base = pos_;
    if (whence == SEEK_END) base = size_;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return toff_t(-1);
    const int64_t delta = int64_t(offset);
    if (delta < 0 && uint64_t(-delta) > base) return toff_t(-1);
    pos_ = base + uint64_t(delta);
    return toff_t(pos_);
  }

  toff_t size() const { return toff_t(size_); }

 private:
  platform::WorkFileReader file_;  // held in memory or on the disk
  uint64_t size_ = 0;
  uint64_t pos_ = 0;
  std::vector<uint8_t> window_;
  uint64_t windowStart_ = 0;
  uint64_t windowBytes_ = 0;
};

InputFile& inputOf(thandle_t handle) {
  return *static_cast<InputFile*>(handle);
}
tmsize_t readInput(thandle_t handle, void* data, tmsize_t size) {
  return inputOf(handle).read(static_cast<uint8_t*>(data), size);
}
tmsize_t refuseWrite(thandle_t, void*, tmsize_t) {
  return -1;
}
toff_t seekInput(thandle_t handle, toff_t offset, int whence) {
  return inputOf(handle).seek(offset, whence);
}
int closeInput(thandle_t handle) {
  return inputOf(handle).close();
}
toff_t inputSize(thandle_t handle) {
  return inputOf(handle).size();
}

// Opens `path` for reading under `file`, which must outlive the handle.
// libtiff's messages are of no use to anyone here; per-file handlers keep
// them quiet without touching the process-wide ones.
TiffPtr openInput(const std::string& path, InputFile& file) {
  auto options = quietOptions();
  if (!options || !file.open(path)) return nullptr;
  return TiffPtr(TIFFClientOpenExt(path.c_str(), "rm", &file, readInput, refuseWrite, seekInput,
                                   closeInput, inputSize, noMapping, noUnmapping, options.get()));
}

// ---- Output file -------------------------------------------------------------
//
// The output goes through descriptor procedures of our own, so every write
// is checked to its last byte (and can be made to fail in tests) and the
// first failure's errno is kept. After that failure every further write is
// refused: nothing lands behind a gap, and the closing flush that libtiff
// always attempts (TIFFClose and TIFFCleanup both flush a writable handle)
// only meets refusals.

struct OutputFile {
  int fd = -1;
  int error = 0;  // errno of the first failed write, seek or close
  bool closed = false;

  bool fail(int e) {
    if (error == 0) error = e != 0 ? e : EIO;
    platform::recordWriteFailure(error);
    return false;
  }
};

OutputFile& outputOf(thandle_t handle) {
  return *static_cast<OutputFile*>(handle);
}

tmsize_t readOutput(thandle_t handle, void* data, tmsize_t size) {
  const OutputFile& file = outputOf(handle);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t got = ::read(file.fd, static_cast<char*>(data) + done, size_t(size - done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += got;
  }
  return done;
}

tmsize_t writeOutput(thandle_t handle, void* data, tmsize_t size) {
  OutputFile& file = outputOf(handle);
  if (file.error != 0 || size < 0) return -1;
  if (!platform::writeAll(file.fd, data, size_t(size))) {
    file.fail(errno);
    return -1;
  }
  return size;
}

toff_t seekOutput(thandle_t handle, toff_t offset, int whence) {
  OutputFile& file = outputOf(handle);
  const off_t at = ::lseek(file.fd, off_t(offset), whence);
  if (at < 0) {
    file.fail(errno);
    return toff_t(-1);
  }
  return toff_t(at);
}

// Flushed to the disk before the close: the caller renames the file into
// place next, and may then move the source away.
int closeOutput(thandle_t handle) {
  OutputFile& file = outputOf(handle);
  if (file.closed) return 0;
  file.closed = true;
  if (file.error == 0 && ::fsync(file.fd) != 0 && errno != EINVAL) file.fail(errno);
  if (!platform::closeDescriptor(file.fd)) file.fail(errno);
  return file.error == 0 ? 0 : -1;
}

toff_t outputSize(thandle_t handle) {
  struct stat st {};
  return ::fstat(outputOf(handle).fd, &st) == 0 ? toff_t(st.st_size) : 0;
}

// Opens `path` for writing (mode "w" replaces it, "a" appends to it) under
// `file`, which must outlive the handle. nullptr, with the reason recorded
// as the last write failure, when it cannot be opened; file.error is set
// when it was opened but its header could not be written.
//
// A temporary output was made, and is guarded, by whoever named it: it is
// opened without O_CREAT, so one that a terminating signal has just removed
// (while this thread went on) cannot come back as a stray file.
TiffPtr openOutput(const std::string& path, const char* mode, OutputFile& file) {
  const bool temporary = platform::fileNameOf(path).rfind(platform::kPartialPrefix, 0) == 0;
  const int flags = O_RDWR | O_CLOEXEC | (temporary ? 0 : O_CREAT) | (mode[0] == 'w' ? O_TRUNC : 0);
  file.fd = ::open(path.c_str(), flags, 0666);
  if (file.fd < 0) {
    file.closed = true;
    platform::recordWriteFailure(errno);
    return nullptr;
  }
  auto options = quietOptions();
  TIFF* tif =
      options ? TIFFClientOpenExt(path.c_str(), mode, &file, readOutput, writeOutput, seekOutput,
                                  closeOutput, outputSize, noMapping, noUnmapping, options.get())
              : nullptr;
  // A failed open does not call the close procedure.
  if (!tif) closeOutput(&file);
  return TiffPtr(tif);
}

// The output compression a settings code asks for.
struct CompressionChoice {
  bool keepInput = false;
  uint16_t compression = COMPRESSION_NONE;
  uint32_t t4Options = 0;
  int jpegColorMode = JPEGCOLORMODE_RAW;
};

CompressionChoice choiceFor(int32_t code) {
  switch (code) {
    case 0:
      return {false, COMPRESSION_NONE, 0, JPEGCOLORMODE_RAW};
    case 1:
      return {false, COMPRESSION_PACKBITS, 0, JPEGCOLORMODE_RAW};
    case 2:
      return {false, COMPRESSION_CCITTFAX3, GROUP3OPT_FILLBITS, JPEGCOLORMODE_RAW};
    case 3:
      return {false, COMPRESSION_CCITTFAX3, 0, JPEGCOLORMODE_RAW};
    case 4:
      return {false, COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS,
              JPEGCOLORMODE_RAW};
    case 5:
      return {false, COMPRESSION_CCITTFAX3, GROUP3OPT_2DENCODING, JPEGCOLORMODE_RAW};
    case 6:
      return {false, COMPRESSION_CCITTFAX4, 0, JPEGCOLORMODE_RAW};
    case 7:
      return {false, COMPRESSION_JPEG, 0, JPEGCOLORMODE_RGB};
    case 8:
      return {false, COMPRESSION_JPEG, 0, JPEGCOLORMODE_RAW};
    case 9:
      return {false, COMPRESSION_LZW, 0, JPEGCOLORMODE_RAW};
    case 10:
      return {false, COMPRESSION_ADOBE_DEFLATE, 0, JPEGCOLORMODE_RAW};
    default:
      // Calls share no state (two may run at once), so an unknown code has
      // no earlier choice to fall back on: each page keeps its own.
      return {true, COMPRESSION_NONE, 0, JPEGCOLORMODE_RAW};
  }
}

struct CopyState {
  CompressionChoice choice;
  int jpegQuality = 75;
  uint16_t fillOrder = 0;  // 0: the input's
  int32_t tiling = -1;
  const std::vector<uint16_t>* recodedT6Pages = nullptr;  // PageCopySettings'
};

// ---- Tags ----------------------------------------------------------------

template <typename T>
void copyOne(TIFF* in, TIFF* out, ttag_t tag) {
  T value{};
  if (TIFFGetField(in, tag, &value)) TIFFSetField(out, tag, value);
}

void copyShortPair(TIFF* in, TIFF* out, ttag_t tag) {
  uint16_t a = 0, b = 0;
  if (TIFFGetField(in, tag, &a, &b)) TIFFSetField(out, tag, a, b);
}

void copyFloatArray(TIFF* in, TIFF* out, ttag_t tag) {
  float* values = nullptr;
  if (TIFFGetField(in, tag, &values) && values) TIFFSetField(out, tag, values);
}

void copyShortArray(TIFF* in, TIFF* out, ttag_t tag) {
  uint16_t count = 0;
  uint16_t* values = nullptr;
  if (TIFFGetField(in, tag, &count, &values) && values) TIFFSetField(out, tag, count, values);
}

enum class TagKind {
  kShort,
  kShortPair,
  kShortArray,
  kLong,
  kAscii,
  kRational,
  kRationalArray,
  kDouble
};

struct TagCopy {
  ttag_t tag;
  TagKind kind;
};

// Descriptive tags carried over unchanged when the input has them.
constexpr TagCopy kDescriptiveTags[] = {
    {TIFFTAG_SUBFILETYPE, TagKind::kLong},
    {TIFFTAG_THRESHHOLDING, TagKind::kShort},
    {TIFFTAG_DOCUMENTNAME, TagKind::kAscii},
    {TIFFTAG_IMAGEDESCRIPTION, TagKind::kAscii},
    {TIFFTAG_MAKE, TagKind::kAscii},
    {TIFFTAG_MODEL, TagKind::kAscii},
    {TIFFTAG_MINSAMPLEVALUE, TagKind::kShort},
    {TIFFTAG_MAXSAMPLEVALUE, TagKind::kShort},
    {TIFFTAG_XRESOLUTION, TagKind::kRational},
    {TIFFTAG_YRESOLUTION, TagKind::kRational},
    {TIFFTAG_PAGENAME, TagKind::kAscii},
    {TIFFTAG_XPOSITION, TagKind::kRational},
    {TIFFTAG_YPOSITION, TagKind::kRational},
    {TIFFTAG_RESOLUTIONUNIT, TagKind::kShort},
    {TIFFTAG_SOFTWARE, TagKind::kAscii},
    {TIFFTAG_DATETIME, TagKind::kAscii},
    {TIFFTAG_ARTIST, TagKind::kAscii},
    {TIFFTAG_HOSTCOMPUTER, TagKind::kAscii},
    {TIFFTAG_WHITEPOINT, TagKind::kRationalArray},
    {TIFFTAG_PRIMARYCHROMATICITIES, TagKind::kRationalArray},
    {TIFFTAG_HALFTONEHINTS, TagKind::kShortPair},
    {TIFFTAG_INKSET, TagKind::kShort},
    {TIFFTAG_DOTRANGE, TagKind::kShortPair},
    {TIFFTAG_TARGETPRINTER, TagKind::kAscii},
    {TIFFTAG_SAMPLEFORMAT, TagKind::kShort},
    {TIFFTAG_YCBCRCOEFFICIENTS, TagKind::kRationalArray},
    {TIFFTAG_YCBCRSUBSAMPLING, TagKind::kShortPair},
    {TIFFTAG_YCBCRPOSITIONING, TagKind::kShort},
    {TIFFTAG_REFERENCEBLACKWHITE, TagKind::kRationalArray},
    {TIFFTAG_EXTRASAMPLES, TagKind::kShortArray},
    {TIFFTAG_SMINSAMPLEVALUE, TagKind::kDouble},
    {TIFFTAG_SMAXSAMPLEVALUE, TagKind::kDouble},
    {TIFFTAG_STONITS, TagKind::kDouble},
};

void copyTag(TIFF* in, TIFF* out, const TagCopy& t) {
  switch (t.kind) {
    case TagKind::kShort:
      return copyOne<uint16_t>(in, out, t.tag);
    case TagKind::kShortPair:
      return copyShortPair(in, out, t.tag);
    case TagKind::kShortArray:
      return copyShortArray(in, out, t.tag);
    case TagKind::kLong:
      return copyOne<uint32_t>(in, out, t.tag);
    case TagKind::kAscii:
      return copyOne<char*>(in, out, t.tag);
    case TagKind::kRational:
      return copyOne<float>(in, out, t.tag);
    case TagKind::kRationalArray:
      return copyFloatArray(in, out, t.tag);
    case TagKind::kDouble:
      return copyOne<double>(in, out, t.tag);
  }
}

uint16_t mapOrientation(uint16_t orientation) {
  switch (orientation) {
    case ORIENTATION_BOTRIGHT:
    case ORIENTATION_RIGHTBOT:
      return ORIENTATION_BOTLEFT;
    case ORIENTATION_TOPLEFT:
    case ORIENTATION_BOTLEFT:
    case ORIENTATION_LEFTTOP:
    case ORIENTATION_LEFTBOT:
      return orientation;
    default:
      return ORIENTATION_TOPLEFT;
  }
}

bool isLogLuv(uint16_t compression) {
  return compression == COMPRESSION_SGILOG || compression == COMPRESSION_SGILOG24;
}

// The first group: what the page is and how it is coded.
uint16_t copyCoding(TIFF* in, TIFF* out, const CopyState& state) {
  copyOne<uint32_t>(in, out, TIFFTAG_IMAGEWIDTH);
  copyOne<uint32_t>(in, out, TIFFTAG_IMAGELENGTH);
  copyOne<uint16_t>(in, out, TIFFTAG_BITSPERSAMPLE);
  copyOne<uint16_t>(in, out, TIFFTAG_SAMPLESPERPIXEL);
  // Before the transfer function: its shape depends on the extra samples.
  copyShortArray(in, out, TIFFTAG_EXTRASAMPLES);

  uint16_t inCompression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(in, TIFFTAG_COMPRESSION, &inCompression);
  const uint16_t compression = state.choice.keepInput ? inCompression : state.choice.compression;
  if (compression == COMPRESSION_JPEG && inCompression == COMPRESSION_JPEG)
    TIFFSetField(in, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
  TIFFSetField(out, TIFFTAG_COMPRESSION, compression);

  uint16_t photometric = 0;
  if (TIFFGetField(in, TIFFTAG_PHOTOMETRIC, &photometric)) {
    uint16_t samples = 1;
    TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (compression == COMPRESSION_JPEG && photometric == PHOTOMETRIC_RGB &&
        state.choice.jpegColorMode == JPEGCOLORMODE_RGB)
      photometric = PHOTOMETRIC_YCBCR;
    else if (isLogLuv(compression))
      photometric = samples == 1 ? PHOTOMETRIC_LOGL : PHOTOMETRIC_LOGLUV;
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, photometric);
  }
  if (state.fillOrder != 0)
    TIFFSetField(out, TIFFTAG_FILLORDER, state.fillOrder);
  else
    copyOne<uint16_t>(in, out, TIFFTAG_FILLORDER);

  uint16_t orientation = ORIENTATION_TOPLEFT;
  TIFFGetFieldDefaulted(in, TIFFTAG_ORIENTATION, &orientation);
  TIFFSetField(out, TIFFTAG_ORIENTATION, mapOrientation(orientation));
  return compression;
}

bool outputTiled(TIFF* in, const CopyState& state) {
  if (state.tiling == -1) return TIFFIsTiled(in) != 0;
  return state.tiling != 0;
}

void copyLayout(TIFF* in, TIFF* out, const CopyState& state) {
  uint32_t length = 0;
  TIFFGetField(in, TIFFTAG_IMAGELENGTH, &length);
  if (outputTiled(in, state)) {
    uint32_t tileWidth = 0, tileLength = 0;
    if (TIFFIsTiled(in)) {
      TIFFGetField(in, TIFFTAG_TILEWIDTH, &tileWidth);
      TIFFGetField(in, TIFFTAG_TILELENGTH, &tileLength);
    }
    TIFFDefaultTileSize(out, &tileWidth, &tileLength);
    TIFFSetField(out, TIFFTAG_TILEWIDTH, tileWidth);
    TIFFSetField(out, TIFFTAG_TILELENGTH, tileLength);
  } else {
    uint32_t rowsPerStrip = 0;
    if (TIFFIsTiled(in) || !TIFFGetField(in, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip) ||
        rowsPerStrip == 0)
      rowsPerStrip = TIFFDefaultStripSize(out, 0);
    if (length > 0 && rowsPerStrip > length) rowsPerStrip = length;
    // JPEG strips other than the last must hold whole 16-row blocks
    // (subsampled YCbCr); other strip heights make the encoder refuse.
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetField(out, TIFFTAG_COMPRESSION, &compression);
    if (compression == COMPRESSION_JPEG && rowsPerStrip < length && rowsPerStrip % 16 != 0)
      rowsPerStrip = std::min(length, (rowsPerStrip + 15) / 16 * 16);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, std::max<uint32_t>(rowsPerStrip, 1));
  }
  copyOne<uint16_t>(in, out, TIFFTAG_PLANARCONFIG);
}

void copyColourTables(TIFF* in, TIFF* out) {
  uint16_t samples = 1;
  TIFFGetFieldDefaulted(in, TIFFTAG_SAMPLESPERPIXEL, &samples);
  uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
  if (samples <= 4 && TIFFGetField(in, TIFFTAG_TRANSFERFUNCTION, &r, &g, &b) && r) {
    // One table or three, by the same rule on both sides; unset ones repeat
    // the first so no null ever reaches libtiff.
    TIFFSetField(out, TIFFTAG_TRANSFERFUNCTION, r, g ? g : r, b ? b : r);
  }
  r = g = b = nullptr;
  if (TIFFGetField(in, TIFFTAG_COLORMAP, &r, &g, &b) && r && g && b)
    TIFFSetField(out, TIFFTAG_COLORMAP, r, g, b);
}

void copyFaxTags(TIFF* in, TIFF* out) {
  copyOne<uint32_t>(in, out, TIFFTAG_BADFAXLINES);
  copyOne<uint16_t>(in, out, TIFFTAG_CLEANFAXDATA);
  copyOne<uint32_t>(in, out, TIFFTAG_CONSECUTIVEBADFAXLINES);
  copyOne<uint32_t>(in, out, TIFFTAG_FAXRECVPARAMS);
  copyOne<uint32_t>(in, out, TIFFTAG_FAXRECVTIME);
  copyOne<char*>(in, out, TIFFTAG_FAXSUBADDRESS);
}

// Whether the input directory is a page our encoder coded from another
// coding for the intermediate file: its T6Options are ours, not the source's.
bool recodedT6(TIFF* in, const CopyState& state) {
  if (state.recodedT6Pages == nullptr || state.recodedT6Pages->empty()) return false;
  uint16_t index = 0, count = 0;
  if (TIFFGetField(in, TIFFTAG_PAGENUMBER, &index, &count) != 1) return false;
  return std::find(state.recodedT6Pages->begin(), state.recodedT6Pages->end(), index) !=
         state.recodedT6Pages->end();
}

void copyCodecTags(TIFF* in, TIFF* out, uint16_t compression, const CopyState& state) {
  switch (compression) {
    case COMPRESSION_CCITTFAX3:
      if (state.choice.keepInput)
        copyOne<uint32_t>(in, out, TIFFTAG_GROUP3OPTIONS);
      else
        TIFFSetField(out, TIFFTAG_GROUP3OPTIONS, state.choice.t4Options);
      copyFaxTags(in, out);
      break;
    case COMPRESSION_CCITTFAX4:
      if (!recodedT6(in, state)) copyOne<uint32_t>(in, out, TIFFTAG_GROUP4OPTIONS);
      copyFaxTags(in, out);
      break;
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
    case COMPRESSION_DEFLATE:
      copyOne<uint16_t>(in, out, TIFFTAG_PREDICTOR);
      break;
    case COMPRESSION_JPEG:
      TIFFSetField(out, TIFFTAG_JPEGQUALITY, std::clamp(state.jpegQuality, 1, 100));
      TIFFSetField(out, TIFFTAG_JPEGCOLORMODE, state.choice.jpegColorMode);
      break;
    default:
      break;
  }
}

void copyTags(TIFF* in, TIFF* out, const CopyState& state) {
  const uint16_t compression = copyCoding(in, out, state);
  copyLayout(in, out, state);
  copyColourTables(in, out);
  copyCodecTags(in, out, compression, state);

  uint32_t iccBytes = 0;
  void* icc = nullptr;
  if (TIFFGetField(in, TIFFTAG_ICCPROFILE, &iccBytes, &icc) && icc)
    TIFFSetField(out, TIFFTAG_ICCPROFILE, iccBytes, icc);
  // InkNames is not carried: libtiff does not tell the length of the names
  // text, and walking it by NumberOfInks could read past its end.
  copyOne<uint16_t>(in, out, TIFFTAG_NUMBEROFINKS);
  copyShortPair(in, out, TIFFTAG_PAGENUMBER);
  for (const TagCopy& t : kDescriptiveTags) copyTag(in, out, t);
}

// ---- Directories -----------------------------------------------------------

// Drops whatever was set or written for the current output directory, so
// closing the file does not write it. False when the handle cannot be used
// any more (its pending bytes could not be written).
//
// libtiff may still hold encoded bytes of the directory's current strip.
// Freeing the directory frees its strip arrays and forgets the current
// strip, and the flush at close would then append those bytes through the
// freed arrays and crash. They are written out first (unreferenced) so the
// flush finds nothing to do.
bool discardOutputDirectory(TIFF* out) {
  if (!TIFFFlushData(out)) return false;
  // Back to no compression first: that releases the codec's own state.
  TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFFreeDirectory(out);
  TIFFCreateDirectory(out);
  return true;
}

// kStopped: the handle takes nothing more, because a write failed or the
// directory's pending bytes could not be flushed. It is then left exactly as
// the failure left it (strip arrays and pending bytes consistent), to be
// closed with TIFFClose and the file removed by the caller: discarding the
// directory first is what turned the closing flush into a crash.
enum class DirectoryOutcome { kCopied, kFailed, kDropped, kStopped };

// Our own T.6 path first; libtiff's copy whenever that one is not taken.
bool copyPixels(TIFF* in, TIFF* out, FastT6Copy& fast) {
  const FastCopy result = fast.copy(in, out);
  if (result != FastCopy::kNotTaken) return result == FastCopy::kWritten;
  return copyImageData(in, out, kMaxBufferBytes);
}

DirectoryOutcome copyDirectory(TIFF* in, TIFF* out, const CopyState& state, const OutputFile& file,
                               FastT6Copy& fast) {
  try {
    copyTags(in, out, state);
    if (copyPixels(in, out, fast) && TIFFWriteDirectory(out)) return DirectoryOutcome::kCopied;
    if (file.error != 0 || !discardOutputDirectory(out)) return DirectoryOutcome::kStopped;
    return DirectoryOutcome::kFailed;
  } catch (const std::exception&) {
    // Only this page is lost (memory ran out inside it); the others go on.
    if (file.error != 0 || !discardOutputDirectory(out)) return DirectoryOutcome::kStopped;
    return DirectoryOutcome::kDropped;
  }
}

// Steps through the selected input directories.
class DirectoryWalk {
 public:
  DirectoryWalk(TIFF* in, const DirectorySelection& dirs) : in_(in), dirs_(dirs) {}

  bool selectFirst() {
    if (dirs_.all()) return true;
    return TIFFSetDirectory(in_, dirs_.listed[0]) != 0;
  }

  bool next() {
    if (++steps_ >= kMaxDirectories) return false;
    if (!dirs_.all() && ++listIndex_ < dirs_.listed.size())
      return TIFFSetDirectory(in_, dirs_.listed[listIndex_]) != 0;
    if (!dirs_.all() && !dirs_.andFollowing) return false;
    return TIFFReadDirectory(in_) != 0;
  }

 private:
  TIFF* in_;
  const DirectorySelection& dirs_;
  size_t listIndex_ = 0;
  int steps_ = 0;
};

// ---- Image lists -------------------------------------------------------------

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

enum class NumberRead { kNone, kNumber, kBad };

// One unsigned number at `text[pos]` in C notation (decimal, 0x hexadecimal,
// leading-0 octal), at most 65535; `pos` moves past it.
NumberRead readNumber(const std::string& text, size_t& pos, uint16_t& value) {
  int base = 10;
  if (pos < text.size() && text[pos] == '0') base = 8;
  if (base == 8 && pos + 1 < text.size() && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
    base = 16;
    pos += 2;
  }
  const size_t start = pos;
  uint32_t number = 0;
  while (pos < text.size() && digitValue(text[pos]) < base) {
    number = number * base + uint32_t(digitValue(text[pos]));
    if (number > 0xFFFF) return NumberRead::kBad;
    ++pos;
  }
  if (pos == start) return base == 16 ? NumberRead::kBad : NumberRead::kNone;
  value = uint16_t(number);
  return NumberRead::kNumber;
}

}  // namespace

int parseImageList(const std::string& text, DirectorySelection& dirs) {
  dirs = {};
  if (text.empty()) return 0;
  size_t pos = 0;
  uint16_t current = 0;
  while (true) {
    // An empty number repeats the directory selected before it.
    if (readNumber(text, pos, current) == NumberRead::kBad) break;
    dirs.listed.push_back(current);
    if (pos == text.size()) return 0;
    if (text[pos] != ',') break;
    if (++pos == text.size()) {
      dirs.andFollowing = true;
      return 0;
    }
  }
  dirs = {};
  return kPageCopyInputNotOpened;
}

int parseInputName(const std::string& name, std::string& path, DirectorySelection& dirs) {
  const size_t comma = name.find(',');
  path = name.substr(0, comma);
  if (comma == std::string::npos) {
    dirs = {};
    return 0;
  }
  return parseImageList(name.substr(comma + 1), dirs);
}

bool copiesOwnT6(const PageCopySettings& settings) {
  const CompressionChoice choice = choiceFor(settings.compression);
  return !choice.keepInput && choice.compression == COMPRESSION_CCITTFAX4 &&
         (settings.tiling == -1 || settings.tiling == 0) && !fastT6CopyTurnedOff();
}

int copyTiffPages(const std::string& input, const std::string& output,
                  const PageCopySettings& settings, const DirectorySelection& dirs) {
  CopyState state;
  state.choice = choiceFor(settings.compression);
  state.jpegQuality = settings.jpegQuality;
  state.fillOrder = uint16_t(settings.fillOrder);
  state.tiling = settings.tiling;
  state.recodedT6Pages = &settings.recodedT6Pages;

  OutputFile file;  // outlives the handle, whose procedures use it
  TiffPtr out = openOutput(output, settings.append != 0 ? "a" : "w", file);
  if (!out) return file.error != 0 ? kPageCopyOutputFailed : kPageCopyOutputNotOpened;
  InputFile inputFile;  // outlives the handle, whose procedures use it
  TiffPtr in = openInput(input, inputFile);
  if (!in) return kPageCopyInputNotOpened;
  DirectoryWalk walk(in.get(), dirs);
  if (!walk.selectFirst()) return kPageCopyInputNotOpened;
  FastT6Copy fast(settings.checkedT6Pages);
  int result = kPageCopyOk;
  do {
    const DirectoryOutcome outcome = copyDirectory(in.get(), out.get(), state, file, fast);
    if (outcome == DirectoryOutcome::kFailed || outcome == DirectoryOutcome::kStopped) {
      result = kPageCopyDirectoryFailed;
      break;
    }
  } while (walk.next());
  out.reset();  // the close is checked too
  return file.error != 0 ? kPageCopyOutputFailed : result;
}

}  // namespace tarnwick
