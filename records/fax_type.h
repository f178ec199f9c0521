#pragma once
// Fax types and codings shared by every subsystem. Includes nothing of ours.

#include <cstdint>

namespace tarnwick {

// The input family of a file, decided from its name (and for g3f from its
// first bytes). Any value outside 1..18 is converted as a raw fax stream.
using FaxType = int32_t;

inline constexpr FaxType FAX_TYPE_EXCLUDED = -2;  // never converted
inline constexpr FaxType FAX_TYPE_RAW = 0;
inline constexpr FaxType FAX_TYPE_APF = 1;
inline constexpr FaxType FAX_TYPE_AWD = 3;
inline constexpr FaxType FAX_TYPE_BFX = 4;
inline constexpr FaxType FAX_TYPE_BMP = 5;
inline constexpr FaxType FAX_TYPE_CALS = 6;
inline constexpr FaxType FAX_TYPE_DCX = 7;
inline constexpr FaxType FAX_TYPE_DS = 8;
inline constexpr FaxType FAX_TYPE_ED = 9;
inline constexpr FaxType FAX_TYPE_FMF = 10;
inline constexpr FaxType FAX_TYPE_FXS = 11;
inline constexpr FaxType FAX_TYPE_G3F = 12;
inline constexpr FaxType FAX_TYPE_IG4 = 13;
inline constexpr FaxType FAX_TYPE_QFX = 14;
inline constexpr FaxType FAX_TYPE_TIFF = 16;
inline constexpr FaxType FAX_TYPE_G3N = 17;
inline constexpr FaxType FAX_TYPE_SFT = 18;

// How a page's coded data is coded.
using FaxCoding = uint8_t;

inline constexpr FaxCoding kCodingUncompressed = 1;
inline constexpr FaxCoding kCodingMhByteAligned = 3;  // TIFF compression 2: rows start on a byte
inline constexpr FaxCoding kCodingMhWordAligned =
    4;                                         // TIFF compression 32771: rows start on a word
inline constexpr FaxCoding kCodingT4OneD = 5;  // T.4 one-dimensional with EOLs
inline constexpr FaxCoding kCodingT4TwoD = 6;  // T.4 two-dimensional
inline constexpr FaxCoding kCodingT6 = 7;      // T.6 (MMR)
inline constexpr FaxCoding kCodingPackBits = 8;

// Bit order of coded data; the values are TIFF FillOrder values.
inline constexpr uint8_t kMsbFirst = 1;
inline constexpr uint8_t kLsbFirst = 2;

}  // namespace tarnwick
